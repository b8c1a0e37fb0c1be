// Record types of the terminal, account, symbol and depth-of-market replies.
#include "info/wire.h"
#include "module/records.h"

namespace orbisyn {

namespace {

// tradeapi_disabled is the record's last byte but the sixth Python field.
constexpr Field kTerminalInfoRows[] = {
    ORBISYN_FIELD(TerminalInfoRecord, community_account),
    ORBISYN_FIELD(TerminalInfoRecord, community_connection),
    ORBISYN_FIELD(TerminalInfoRecord, connected),
    ORBISYN_FIELD(TerminalInfoRecord, dlls_allowed),
    ORBISYN_FIELD(TerminalInfoRecord, trade_allowed),
    ORBISYN_FIELD(TerminalInfoRecord, tradeapi_disabled),
    ORBISYN_FIELD(TerminalInfoRecord, email_enabled),
    ORBISYN_FIELD(TerminalInfoRecord, ftp_enabled),
    ORBISYN_FIELD(TerminalInfoRecord, notifications_enabled),
    ORBISYN_FIELD(TerminalInfoRecord, vkid),
    ORBISYN_FIELD(TerminalInfoRecord, build),
    ORBISYN_FIELD(TerminalInfoRecord, maxbars),
    ORBISYN_FIELD(TerminalInfoRecord, codepage),
    ORBISYN_FIELD(TerminalInfoRecord, ping_last),
    ORBISYN_FIELD(TerminalInfoRecord, community_balance),
    ORBISYN_FIELD(TerminalInfoRecord, retransmission),
    ORBISYN_FIELD(TerminalInfoRecord, company),
    ORBISYN_FIELD(TerminalInfoRecord, name),
    ORBISYN_FIELD(TerminalInfoRecord, language),
    ORBISYN_FIELD(TerminalInfoRecord, path),
    ORBISYN_FIELD(TerminalInfoRecord, data_path),
    ORBISYN_FIELD(TerminalInfoRecord, commondata_path),
};
static_assert(Tiles(kTerminalInfoRows, sizeof(TerminalInfoRecord)), "every byte is a field");

constexpr Field kAccountInfoRows[] = {
    ORBISYN_FIELD(AccountInfoRecord, login),
    ORBISYN_FIELD(AccountInfoRecord, trade_mode),
    ORBISYN_FIELD(AccountInfoRecord, leverage),
    ORBISYN_FIELD(AccountInfoRecord, limit_orders),
    ORBISYN_FIELD(AccountInfoRecord, margin_so_mode),
    ORBISYN_FIELD(AccountInfoRecord, trade_allowed),
    ORBISYN_FIELD(AccountInfoRecord, trade_expert),
    ORBISYN_FIELD(AccountInfoRecord, margin_mode),
    ORBISYN_FIELD(AccountInfoRecord, currency_digits),
    ORBISYN_FIELD(AccountInfoRecord, fifo_close),
    ORBISYN_FIELD(AccountInfoRecord, balance),
    ORBISYN_FIELD(AccountInfoRecord, credit),
    ORBISYN_FIELD(AccountInfoRecord, profit),
    ORBISYN_FIELD(AccountInfoRecord, equity),
    ORBISYN_FIELD(AccountInfoRecord, margin),
    ORBISYN_FIELD(AccountInfoRecord, margin_free),
    ORBISYN_FIELD(AccountInfoRecord, margin_level),
    ORBISYN_FIELD(AccountInfoRecord, margin_so_call),
    ORBISYN_FIELD(AccountInfoRecord, margin_so_so),
    ORBISYN_FIELD(AccountInfoRecord, margin_initial),
    ORBISYN_FIELD(AccountInfoRecord, margin_maintenance),
    ORBISYN_FIELD(AccountInfoRecord, assets),
    ORBISYN_FIELD(AccountInfoRecord, liabilities),
    ORBISYN_FIELD(AccountInfoRecord, commission_blocked),
    ORBISYN_FIELD(AccountInfoRecord, name),
    ORBISYN_FIELD(AccountInfoRecord, server),
    ORBISYN_FIELD(AccountInfoRecord, currency),
    ORBISYN_FIELD(AccountInfoRecord, company),
};
static_assert(Tiles(kAccountInfoRows, sizeof(AccountInfoRecord)), "every byte is a field");

// Wire order except name, which the record carries last and Python places after isin.
constexpr Field kSymbolInfoRows[] = {
    ORBISYN_FIELD(SymbolInfoRecord, custom),
    ORBISYN_FIELD(SymbolInfoRecord, chart_mode),
    ORBISYN_FIELD(SymbolInfoRecord, select),
    ORBISYN_FIELD(SymbolInfoRecord, visible),
    ORBISYN_FIELD(SymbolInfoRecord, session_deals),
    ORBISYN_FIELD(SymbolInfoRecord, session_buy_orders),
    ORBISYN_FIELD(SymbolInfoRecord, session_sell_orders),
    ORBISYN_FIELD(SymbolInfoRecord, volume),
    ORBISYN_FIELD(SymbolInfoRecord, volumehigh),
    ORBISYN_FIELD(SymbolInfoRecord, volumelow),
    ORBISYN_FIELD(SymbolInfoRecord, time),
    ORBISYN_FIELD(SymbolInfoRecord, digits),
    ORBISYN_FIELD(SymbolInfoRecord, spread),
    ORBISYN_FIELD(SymbolInfoRecord, spread_float),
    ORBISYN_FIELD(SymbolInfoRecord, ticks_bookdepth),
    ORBISYN_FIELD(SymbolInfoRecord, trade_calc_mode),
    ORBISYN_FIELD(SymbolInfoRecord, trade_mode),
    ORBISYN_FIELD(SymbolInfoRecord, start_time),
    ORBISYN_FIELD(SymbolInfoRecord, expiration_time),
    ORBISYN_FIELD(SymbolInfoRecord, trade_stops_level),
    ORBISYN_FIELD(SymbolInfoRecord, trade_freeze_level),
    ORBISYN_FIELD(SymbolInfoRecord, trade_exemode),
    ORBISYN_FIELD(SymbolInfoRecord, swap_mode),
    ORBISYN_FIELD(SymbolInfoRecord, swap_rollover3days),
    ORBISYN_FIELD(SymbolInfoRecord, margin_hedged_use_leg),
    ORBISYN_FIELD(SymbolInfoRecord, expiration_mode),
    ORBISYN_FIELD(SymbolInfoRecord, filling_mode),
    ORBISYN_FIELD(SymbolInfoRecord, order_mode),
    ORBISYN_FIELD(SymbolInfoRecord, order_gtc_mode),
    ORBISYN_FIELD(SymbolInfoRecord, option_mode),
    ORBISYN_FIELD(SymbolInfoRecord, option_right),
    ORBISYN_FIELD(SymbolInfoRecord, bid),
    ORBISYN_FIELD(SymbolInfoRecord, bidhigh),
    ORBISYN_FIELD(SymbolInfoRecord, bidlow),
    ORBISYN_FIELD(SymbolInfoRecord, ask),
    ORBISYN_FIELD(SymbolInfoRecord, askhigh),
    ORBISYN_FIELD(SymbolInfoRecord, asklow),
    ORBISYN_FIELD(SymbolInfoRecord, last),
    ORBISYN_FIELD(SymbolInfoRecord, lasthigh),
    ORBISYN_FIELD(SymbolInfoRecord, lastlow),
    ORBISYN_FIELD(SymbolInfoRecord, volume_real),
    ORBISYN_FIELD(SymbolInfoRecord, volumehigh_real),
    ORBISYN_FIELD(SymbolInfoRecord, volumelow_real),
    ORBISYN_FIELD(SymbolInfoRecord, option_strike),
    ORBISYN_FIELD(SymbolInfoRecord, point),
    ORBISYN_FIELD(SymbolInfoRecord, trade_tick_value),
    ORBISYN_FIELD(SymbolInfoRecord, trade_tick_value_profit),
    ORBISYN_FIELD(SymbolInfoRecord, trade_tick_value_loss),
    ORBISYN_FIELD(SymbolInfoRecord, trade_tick_size),
    ORBISYN_FIELD(SymbolInfoRecord, trade_contract_size),
    ORBISYN_FIELD(SymbolInfoRecord, trade_accrued_interest),
    ORBISYN_FIELD(SymbolInfoRecord, trade_face_value),
    ORBISYN_FIELD(SymbolInfoRecord, trade_liquidity_rate),
    ORBISYN_FIELD(SymbolInfoRecord, volume_min),
    ORBISYN_FIELD(SymbolInfoRecord, volume_max),
    ORBISYN_FIELD(SymbolInfoRecord, volume_step),
    ORBISYN_FIELD(SymbolInfoRecord, volume_limit),
    ORBISYN_FIELD(SymbolInfoRecord, swap_long),
    ORBISYN_FIELD(SymbolInfoRecord, swap_short),
    ORBISYN_FIELD(SymbolInfoRecord, margin_initial),
    ORBISYN_FIELD(SymbolInfoRecord, margin_maintenance),
    ORBISYN_FIELD(SymbolInfoRecord, session_volume),
    ORBISYN_FIELD(SymbolInfoRecord, session_turnover),
    ORBISYN_FIELD(SymbolInfoRecord, session_interest),
    ORBISYN_FIELD(SymbolInfoRecord, session_buy_orders_volume),
    ORBISYN_FIELD(SymbolInfoRecord, session_sell_orders_volume),
    ORBISYN_FIELD(SymbolInfoRecord, session_open),
    ORBISYN_FIELD(SymbolInfoRecord, session_close),
    ORBISYN_FIELD(SymbolInfoRecord, session_aw),
    ORBISYN_FIELD(SymbolInfoRecord, session_price_settlement),
    ORBISYN_FIELD(SymbolInfoRecord, session_price_limit_min),
    ORBISYN_FIELD(SymbolInfoRecord, session_price_limit_max),
    ORBISYN_FIELD(SymbolInfoRecord, margin_hedged),
    ORBISYN_FIELD(SymbolInfoRecord, price_change),
    ORBISYN_FIELD(SymbolInfoRecord, price_volatility),
    ORBISYN_FIELD(SymbolInfoRecord, price_theoretical),
    ORBISYN_FIELD(SymbolInfoRecord, price_greeks_delta),
    ORBISYN_FIELD(SymbolInfoRecord, price_greeks_theta),
    ORBISYN_FIELD(SymbolInfoRecord, price_greeks_gamma),
    ORBISYN_FIELD(SymbolInfoRecord, price_greeks_vega),
    ORBISYN_FIELD(SymbolInfoRecord, price_greeks_rho),
    ORBISYN_FIELD(SymbolInfoRecord, price_greeks_omega),
    ORBISYN_FIELD(SymbolInfoRecord, price_sensitivity),
    ORBISYN_FIELD(SymbolInfoRecord, basis),
    ORBISYN_FIELD(SymbolInfoRecord, category),
    ORBISYN_FIELD(SymbolInfoRecord, currency_base),
    ORBISYN_FIELD(SymbolInfoRecord, currency_profit),
    ORBISYN_FIELD(SymbolInfoRecord, currency_margin),
    ORBISYN_FIELD(SymbolInfoRecord, bank),
    ORBISYN_FIELD(SymbolInfoRecord, description),
    ORBISYN_FIELD(SymbolInfoRecord, exchange),
    ORBISYN_FIELD(SymbolInfoRecord, formula),
    ORBISYN_FIELD(SymbolInfoRecord, isin),
    ORBISYN_FIELD(SymbolInfoRecord, name),
    ORBISYN_FIELD(SymbolInfoRecord, page),
    ORBISYN_FIELD(SymbolInfoRecord, path),
};
static_assert(Tiles(kSymbolInfoRows, sizeof(SymbolInfoRecord)), "every byte is a field");

constexpr Field kBookInfoRows[] = {
    ORBISYN_FIELD(BookEntryRecord, type),
    ORBISYN_FIELD(BookEntryRecord, price),
    ORBISYN_FIELD(BookEntryRecord, volume),
    ORBISYN_FIELD(BookEntryRecord, volume_dbl),
};
static_assert(Tiles(kBookInfoRows, sizeof(BookEntryRecord)), "every byte is a field");

}  // namespace

const RecordDesc kTerminalInfoDesc = MakeDesc<TerminalInfoRecord, kTerminalInfoRows>(
    "TerminalInfo", "This is a structure for storing terminal information");
const RecordDesc kAccountInfoDesc = MakeDesc<AccountInfoRecord, kAccountInfoRows>(
    "AccountInfo", "This is a structure for storing account information");
const RecordDesc kSymbolInfoDesc = MakeDesc<SymbolInfoRecord, kSymbolInfoRows>(
    "SymbolInfo", "This is a structure for storing symbol information");
const RecordDesc kBookInfoDesc = MakeDesc<BookEntryRecord, kBookInfoRows>(
    "BookInfo", "This is a structure for storing Depth of Market information");

}  // namespace orbisyn
