// Field lists of the record types returned by this subsystem.
#include "module/records.h"

namespace orbisyn {

PyStructSequence_Field kTradeRequestFields[] = {
    {"action", nullptr},
    {"magic", nullptr},
    {"order", nullptr},
    {"symbol", nullptr},
    {"volume", nullptr},
    {"price", nullptr},
    {"stoplimit", nullptr},
    {"sl", nullptr},
    {"tp", nullptr},
    {"deviation", nullptr},
    {"type", nullptr},
    {"type_filling", nullptr},
    {"type_time", nullptr},
    {"expiration", nullptr},
    {"comment", nullptr},
    {"position", nullptr},
    {"position_by", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTradeRequestDesc = {"TradeRequest", "Trade request structure", kTradeRequestFields, 17};

PyStructSequence_Field kOrderSendResultFields[] = {
    {"retcode", nullptr},
    {"deal", nullptr},
    {"order", nullptr},
    {"volume", nullptr},
    {"price", nullptr},
    {"bid", nullptr},
    {"ask", nullptr},
    {"comment", nullptr},
    {"request_id", nullptr},
    {"retcode_external", nullptr},
    {"request", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kOrderSendResultDesc = {"OrderSendResult", "order_send result structure", kOrderSendResultFields, 11};

PyStructSequence_Field kOrderCheckResultFields[] = {
    {"retcode", nullptr},
    {"balance", nullptr},
    {"equity", nullptr},
    {"profit", nullptr},
    {"margin", nullptr},
    {"margin_free", nullptr},
    {"margin_level", nullptr},
    {"comment", nullptr},
    {"request", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kOrderCheckResultDesc = {"OrderCheckResult", "order_check result structure", kOrderCheckResultFields, 9};

}  // namespace orbisyn
