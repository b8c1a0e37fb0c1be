// Field lists of the record types returned by this subsystem.
#include "module/records.h"

namespace orbisyn {

PyStructSequence_Field kTerminalInfoFields[] = {
    {"community_account", nullptr},
    {"community_connection", nullptr},
    {"connected", nullptr},
    {"dlls_allowed", nullptr},
    {"trade_allowed", nullptr},
    {"tradeapi_disabled", nullptr},
    {"email_enabled", nullptr},
    {"ftp_enabled", nullptr},
    {"notifications_enabled", nullptr},
    {"vkid", nullptr},
    {"build", nullptr},
    {"maxbars", nullptr},
    {"codepage", nullptr},
    {"ping_last", nullptr},
    {"community_balance", nullptr},
    {"retransmission", nullptr},
    {"company", nullptr},
    {"name", nullptr},
    {"language", nullptr},
    {"path", nullptr},
    {"data_path", nullptr},
    {"commondata_path", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTerminalInfoDesc = {"TerminalInfo", "This is a structure for storing terminal information", kTerminalInfoFields, 22};

PyStructSequence_Field kAccountInfoFields[] = {
    {"login", nullptr},
    {"trade_mode", nullptr},
    {"leverage", nullptr},
    {"limit_orders", nullptr},
    {"margin_so_mode", nullptr},
    {"trade_allowed", nullptr},
    {"trade_expert", nullptr},
    {"margin_mode", nullptr},
    {"currency_digits", nullptr},
    {"fifo_close", nullptr},
    {"balance", nullptr},
    {"credit", nullptr},
    {"profit", nullptr},
    {"equity", nullptr},
    {"margin", nullptr},
    {"margin_free", nullptr},
    {"margin_level", nullptr},
    {"margin_so_call", nullptr},
    {"margin_so_so", nullptr},
    {"margin_initial", nullptr},
    {"margin_maintenance", nullptr},
    {"assets", nullptr},
    {"liabilities", nullptr},
    {"commission_blocked", nullptr},
    {"name", nullptr},
    {"server", nullptr},
    {"currency", nullptr},
    {"company", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kAccountInfoDesc = {"AccountInfo", "This is a structure for storing account information", kAccountInfoFields, 28};

PyStructSequence_Field kTickFields[] = {
    {"time", nullptr},
    {"bid", nullptr},
    {"ask", nullptr},
    {"last", nullptr},
    {"volume", nullptr},
    {"time_msc", nullptr},
    {"flags", nullptr},
    {"volume_real", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTickDesc = {"Tick", "This is a structure for storing latest symbol prices", kTickFields, 8};

PyStructSequence_Field kBookInfoFields[] = {
    {"type", nullptr},
    {"price", nullptr},
    {"volume", nullptr},
    {"volume_dbl", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kBookInfoDesc = {"BookInfo", "This is a structure for storing Depth of Market information", kBookInfoFields, 4};

PyStructSequence_Field kSymbolInfoFields[] = {

    {nullptr, nullptr},
};
PyStructSequence_Desc kSymbolInfoDesc = {"SymbolInfo", "This is a structure for storing symbol information", kSymbolInfoFields, 0};

}  // namespace orbisyn
