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
// The head of a full record is a legacy record, so its offsets serve both forms.
const FieldSpec kSymbolInfoSpec[kSymbolInfoFieldCount] = {
    F(LegacySymbolInfoRecord, custom, B),
    F(LegacySymbolInfoRecord, chart_mode, U32),
    F(LegacySymbolInfoRecord, select, B),
    F(LegacySymbolInfoRecord, visible, B),
    F(LegacySymbolInfoRecord, session_deals, U64),
    F(LegacySymbolInfoRecord, session_buy_orders, U64),
    F(LegacySymbolInfoRecord, session_sell_orders, U64),
    F(LegacySymbolInfoRecord, volume, U64),
    F(LegacySymbolInfoRecord, volumehigh, U64),
    F(LegacySymbolInfoRecord, volumelow, U64),
    F(LegacySymbolInfoRecord, time, I64),
    F(LegacySymbolInfoRecord, digits, U32),
    F(LegacySymbolInfoRecord, spread, I32),
    F(LegacySymbolInfoRecord, spread_float, B),
    F(LegacySymbolInfoRecord, ticks_bookdepth, U32),
    F(LegacySymbolInfoRecord, trade_calc_mode, U32),
    F(LegacySymbolInfoRecord, trade_mode, U32),
    F(LegacySymbolInfoRecord, start_time, I64),
    F(LegacySymbolInfoRecord, expiration_time, I64),
    F(LegacySymbolInfoRecord, trade_stops_level, I32),
    F(LegacySymbolInfoRecord, trade_freeze_level, I32),
    F(LegacySymbolInfoRecord, trade_exemode, U32),
    F(LegacySymbolInfoRecord, swap_mode, U32),
    F(LegacySymbolInfoRecord, swap_rollover3days, U32),
    F(LegacySymbolInfoRecord, margin_hedged_use_leg, B),
    F(LegacySymbolInfoRecord, expiration_mode, I32),
    F(LegacySymbolInfoRecord, filling_mode, I32),
    F(LegacySymbolInfoRecord, order_mode, I32),
    F(LegacySymbolInfoRecord, order_gtc_mode, U32),
    F(LegacySymbolInfoRecord, option_mode, U32),
    F(LegacySymbolInfoRecord, option_right, U32),
    F(LegacySymbolInfoRecord, bid, D),
    F(LegacySymbolInfoRecord, bidhigh, D),
    F(LegacySymbolInfoRecord, bidlow, D),
    F(LegacySymbolInfoRecord, ask, D),
    F(LegacySymbolInfoRecord, askhigh, D),
    F(LegacySymbolInfoRecord, asklow, D),
    F(LegacySymbolInfoRecord, last, D),
    F(LegacySymbolInfoRecord, lasthigh, D),
    F(LegacySymbolInfoRecord, lastlow, D),
    F(LegacySymbolInfoRecord, volume_real, D),
    F(LegacySymbolInfoRecord, volumehigh_real, D),
    F(LegacySymbolInfoRecord, volumelow_real, D),
    F(LegacySymbolInfoRecord, option_strike, D),
    F(LegacySymbolInfoRecord, point, D),
    F(LegacySymbolInfoRecord, trade_tick_value, D),
    F(LegacySymbolInfoRecord, trade_tick_value_profit, D),
    F(LegacySymbolInfoRecord, trade_tick_value_loss, D),
    F(LegacySymbolInfoRecord, trade_tick_size, D),
    F(LegacySymbolInfoRecord, trade_contract_size, D),
    F(LegacySymbolInfoRecord, trade_accrued_interest, D),
    F(LegacySymbolInfoRecord, trade_face_value, D),
    F(LegacySymbolInfoRecord, trade_liquidity_rate, D),
    F(LegacySymbolInfoRecord, volume_min, D),
    F(LegacySymbolInfoRecord, volume_max, D),
    F(LegacySymbolInfoRecord, volume_step, D),
    F(LegacySymbolInfoRecord, volume_limit, D),
    F(LegacySymbolInfoRecord, swap_long, D),
    F(LegacySymbolInfoRecord, swap_short, D),
    F(LegacySymbolInfoRecord, margin_initial, D),
    F(LegacySymbolInfoRecord, margin_maintenance, D),
    F(LegacySymbolInfoRecord, session_volume, D),
    F(LegacySymbolInfoRecord, session_turnover, D),
    F(LegacySymbolInfoRecord, session_interest, D),
    F(LegacySymbolInfoRecord, session_buy_orders_volume, D),
    F(LegacySymbolInfoRecord, session_sell_orders_volume, D),
    F(LegacySymbolInfoRecord, session_open, D),
    F(LegacySymbolInfoRecord, session_close, D),
    F(LegacySymbolInfoRecord, session_aw, D),
    F(LegacySymbolInfoRecord, session_price_settlement, D),
    F(LegacySymbolInfoRecord, session_price_limit_min, D),
    F(LegacySymbolInfoRecord, session_price_limit_max, D),
    F(LegacySymbolInfoRecord, margin_hedged, D),
    F(LegacySymbolInfoRecord, price_change, D),
    F(LegacySymbolInfoRecord, price_volatility, D),
    F(LegacySymbolInfoRecord, price_theoretical, D),
    F(LegacySymbolInfoRecord, price_greeks_delta, D),
    F(LegacySymbolInfoRecord, price_greeks_theta, D),
    F(LegacySymbolInfoRecord, price_greeks_gamma, D),
    F(LegacySymbolInfoRecord, price_greeks_vega, D),
    F(LegacySymbolInfoRecord, price_greeks_rho, D),
    F(LegacySymbolInfoRecord, price_greeks_omega, D),
    F(LegacySymbolInfoRecord, price_sensitivity, D),
    T(LegacySymbolInfoRecord, basis),
    T(LegacySymbolInfoRecord, category),
    T(LegacySymbolInfoRecord, currency_base),
    T(LegacySymbolInfoRecord, currency_profit),
    T(LegacySymbolInfoRecord, currency_margin),
    T(LegacySymbolInfoRecord, bank),
    T(LegacySymbolInfoRecord, description),
    T(LegacySymbolInfoRecord, exchange),
    T(LegacySymbolInfoRecord, formula),
    T(LegacySymbolInfoRecord, isin),
    T(SymbolInfoRecord, name),
    T(LegacySymbolInfoRecord, page),
    T(LegacySymbolInfoRecord, path),
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
