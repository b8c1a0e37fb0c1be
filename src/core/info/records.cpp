#include "info/records.h"

namespace orbisyn {

namespace {

constexpr FieldKind B = FieldKind::kBool;
constexpr FieldKind I32 = FieldKind::kInt32;
constexpr FieldKind U32 = FieldKind::kUInt32;
constexpr FieldKind I64 = FieldKind::kInt64;
constexpr FieldKind U64 = FieldKind::kUInt64;
constexpr FieldKind D = FieldKind::kDouble;

}  // namespace

#define F(record, field, kind) \
  FieldSpec { static_cast<uint32_t>(offsetof(record, field)), kind, 0 }
#define T(record, field)                                                      \
  FieldSpec {                                                                 \
    static_cast<uint32_t>(offsetof(record, field)), FieldKind::kText,         \
        static_cast<uint32_t>(sizeof(record::field) / sizeof(char16_t))       \
  }

// tradeapi_disabled is the record's last byte but the sixth Python field.
const FieldSpec kTerminalInfoSpec[kTerminalInfoFieldCount] = {
    F(TerminalInfoRecord, community_account, B),
    F(TerminalInfoRecord, community_connection, B),
    F(TerminalInfoRecord, connected, B),
    F(TerminalInfoRecord, dlls_allowed, B),
    F(TerminalInfoRecord, trade_allowed, B),
    F(TerminalInfoRecord, tradeapi_disabled, B),
    F(TerminalInfoRecord, email_enabled, B),
    F(TerminalInfoRecord, ftp_enabled, B),
    F(TerminalInfoRecord, notifications_enabled, B),
    F(TerminalInfoRecord, vkid, B),
    F(TerminalInfoRecord, build, U32),
    F(TerminalInfoRecord, maxbars, U32),
    F(TerminalInfoRecord, codepage, I32),
    F(TerminalInfoRecord, ping_last, I32),
    F(TerminalInfoRecord, community_balance, D),
    F(TerminalInfoRecord, retransmission, D),
    T(TerminalInfoRecord, company),
    T(TerminalInfoRecord, name),
    T(TerminalInfoRecord, language),
    T(TerminalInfoRecord, path),
    T(TerminalInfoRecord, data_path),
    T(TerminalInfoRecord, commondata_path),
};

const FieldSpec kAccountInfoSpec[kAccountInfoFieldCount] = {
    F(AccountInfoRecord, login, U64),
    F(AccountInfoRecord, trade_mode, U32),
    F(AccountInfoRecord, leverage, U32),
    F(AccountInfoRecord, limit_orders, U32),
    F(AccountInfoRecord, margin_so_mode, U32),
    F(AccountInfoRecord, trade_allowed, B),
    F(AccountInfoRecord, trade_expert, B),
    F(AccountInfoRecord, margin_mode, U32),
    F(AccountInfoRecord, currency_digits, U32),
    F(AccountInfoRecord, fifo_close, B),
    F(AccountInfoRecord, balance, D),
    F(AccountInfoRecord, credit, D),
    F(AccountInfoRecord, profit, D),
    F(AccountInfoRecord, equity, D),
    F(AccountInfoRecord, margin, D),
    F(AccountInfoRecord, margin_free, D),
    F(AccountInfoRecord, margin_level, D),
    F(AccountInfoRecord, margin_so_call, D),
    F(AccountInfoRecord, margin_so_so, D),
    F(AccountInfoRecord, margin_initial, D),
    F(AccountInfoRecord, margin_maintenance, D),
    F(AccountInfoRecord, assets, D),
    F(AccountInfoRecord, liabilities, D),
    F(AccountInfoRecord, commission_blocked, D),
    T(AccountInfoRecord, name),
    T(AccountInfoRecord, server),
    T(AccountInfoRecord, currency),
    T(AccountInfoRecord, company),
};

// Wire order except name, which the record carries last and Python places after isin.
const FieldSpec kSymbolInfoSpec[kSymbolInfoFieldCount] = {
    F(SymbolInfoRecord, custom, B),
    F(SymbolInfoRecord, chart_mode, U32),
    F(SymbolInfoRecord, select, B),
    F(SymbolInfoRecord, visible, B),
    F(SymbolInfoRecord, session_deals, U64),
    F(SymbolInfoRecord, session_buy_orders, U64),
    F(SymbolInfoRecord, session_sell_orders, U64),
    F(SymbolInfoRecord, volume, U64),
    F(SymbolInfoRecord, volumehigh, U64),
    F(SymbolInfoRecord, volumelow, U64),
    F(SymbolInfoRecord, time, I64),
    F(SymbolInfoRecord, digits, U32),
    F(SymbolInfoRecord, spread, I32),
    F(SymbolInfoRecord, spread_float, B),
    F(SymbolInfoRecord, ticks_bookdepth, U32),
    F(SymbolInfoRecord, trade_calc_mode, U32),
    F(SymbolInfoRecord, trade_mode, U32),
    F(SymbolInfoRecord, start_time, I64),
    F(SymbolInfoRecord, expiration_time, I64),
    F(SymbolInfoRecord, trade_stops_level, I32),
    F(SymbolInfoRecord, trade_freeze_level, I32),
    F(SymbolInfoRecord, trade_exemode, U32),
    F(SymbolInfoRecord, swap_mode, U32),
    F(SymbolInfoRecord, swap_rollover3days, U32),
    F(SymbolInfoRecord, margin_hedged_use_leg, B),
    F(SymbolInfoRecord, expiration_mode, I32),
    F(SymbolInfoRecord, filling_mode, I32),
    F(SymbolInfoRecord, order_mode, I32),
    F(SymbolInfoRecord, order_gtc_mode, U32),
    F(SymbolInfoRecord, option_mode, U32),
    F(SymbolInfoRecord, option_right, U32),
    F(SymbolInfoRecord, bid, D),
    F(SymbolInfoRecord, bidhigh, D),
    F(SymbolInfoRecord, bidlow, D),
    F(SymbolInfoRecord, ask, D),
    F(SymbolInfoRecord, askhigh, D),
    F(SymbolInfoRecord, asklow, D),
    F(SymbolInfoRecord, last, D),
    F(SymbolInfoRecord, lasthigh, D),
    F(SymbolInfoRecord, lastlow, D),
    F(SymbolInfoRecord, volume_real, D),
    F(SymbolInfoRecord, volumehigh_real, D),
    F(SymbolInfoRecord, volumelow_real, D),
    F(SymbolInfoRecord, option_strike, D),
    F(SymbolInfoRecord, point, D),
    F(SymbolInfoRecord, trade_tick_value, D),
    F(SymbolInfoRecord, trade_tick_value_profit, D),
    F(SymbolInfoRecord, trade_tick_value_loss, D),
    F(SymbolInfoRecord, trade_tick_size, D),
    F(SymbolInfoRecord, trade_contract_size, D),
    F(SymbolInfoRecord, trade_accrued_interest, D),
    F(SymbolInfoRecord, trade_face_value, D),
    F(SymbolInfoRecord, trade_liquidity_rate, D),
    F(SymbolInfoRecord, volume_min, D),
    F(SymbolInfoRecord, volume_max, D),
    F(SymbolInfoRecord, volume_step, D),
    F(SymbolInfoRecord, volume_limit, D),
    F(SymbolInfoRecord, swap_long, D),
    F(SymbolInfoRecord, swap_short, D),
    F(SymbolInfoRecord, margin_initial, D),
    F(SymbolInfoRecord, margin_maintenance, D),
    F(SymbolInfoRecord, session_volume, D),
    F(SymbolInfoRecord, session_turnover, D),
    F(SymbolInfoRecord, session_interest, D),
    F(SymbolInfoRecord, session_buy_orders_volume, D),
    F(SymbolInfoRecord, session_sell_orders_volume, D),
    F(SymbolInfoRecord, session_open, D),
    F(SymbolInfoRecord, session_close, D),
    F(SymbolInfoRecord, session_aw, D),
    F(SymbolInfoRecord, session_price_settlement, D),
    F(SymbolInfoRecord, session_price_limit_min, D),
    F(SymbolInfoRecord, session_price_limit_max, D),
    F(SymbolInfoRecord, margin_hedged, D),
    F(SymbolInfoRecord, price_change, D),
    F(SymbolInfoRecord, price_volatility, D),
    F(SymbolInfoRecord, price_theoretical, D),
    F(SymbolInfoRecord, price_greeks_delta, D),
    F(SymbolInfoRecord, price_greeks_theta, D),
    F(SymbolInfoRecord, price_greeks_gamma, D),
    F(SymbolInfoRecord, price_greeks_vega, D),
    F(SymbolInfoRecord, price_greeks_rho, D),
    F(SymbolInfoRecord, price_greeks_omega, D),
    F(SymbolInfoRecord, price_sensitivity, D),
    T(SymbolInfoRecord, basis),
    T(SymbolInfoRecord, category),
    T(SymbolInfoRecord, currency_base),
    T(SymbolInfoRecord, currency_profit),
    T(SymbolInfoRecord, currency_margin),
    T(SymbolInfoRecord, bank),
    T(SymbolInfoRecord, description),
    T(SymbolInfoRecord, exchange),
    T(SymbolInfoRecord, formula),
    T(SymbolInfoRecord, isin),
    T(SymbolInfoRecord, name),
    T(SymbolInfoRecord, page),
    T(SymbolInfoRecord, path),
};

const FieldSpec kTickSpec[kTickFieldCount] = {
    F(TickRecord, time, I64),
    F(TickRecord, bid, D),
    F(TickRecord, ask, D),
    F(TickRecord, last, D),
    F(TickRecord, volume, U64),
    F(TickRecord, time_msc, I64),
    F(TickRecord, flags, U32),
    F(TickRecord, volume_real, D),
};

const FieldSpec kBookInfoSpec[kBookInfoFieldCount] = {
    F(BookEntryRecord, type, U32),
    F(BookEntryRecord, price, D),
    F(BookEntryRecord, volume, U64),
    F(BookEntryRecord, volume_dbl, D),
};

#undef F
#undef T

}  // namespace orbisyn
