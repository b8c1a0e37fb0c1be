// Wire records of the terminal, account, symbol and depth-of-market replies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbisyn {

constexpr int32_t kSymbolRecordBuild = 2364;  // first Terminal build with the full symbol record

#pragma pack(push, 1)
struct TerminalInfoRecord {
  uint32_t build;
  uint8_t community_account;
  uint8_t community_connection;
  uint8_t connected;
  uint8_t dlls_allowed;
  uint8_t trade_allowed;
  uint8_t email_enabled;
  uint8_t ftp_enabled;
  uint8_t notifications_enabled;
  uint32_t maxbars;
  uint8_t vkid;
  int32_t codepage;
  int32_t ping_last;
  double community_balance;
  double retransmission;
  char16_t company[260];
  char16_t name[260];
  char16_t language[260];
  char16_t path[260];
  char16_t data_path[260];
  char16_t commondata_path[260];
  uint8_t tradeapi_disabled;
};

struct AccountInfoRecord {
  uint64_t login;
  uint32_t trade_mode;
  uint32_t leverage;
  uint32_t limit_orders;
  uint32_t margin_so_mode;
  uint8_t trade_allowed;
  uint8_t trade_expert;
  uint32_t margin_mode;
  uint32_t currency_digits;
  uint8_t fifo_close;
  double balance;
  double credit;
  double profit;
  double equity;
  double margin;
  double margin_free;
  double margin_level;
  double margin_so_call;
  double margin_so_so;
  double margin_initial;
  double margin_maintenance;
  double assets;
  double liabilities;
  double commission_blocked;
  char16_t name[128];
  char16_t server[64];
  char16_t currency[32];
  char16_t company[128];
};

// Terminals before kSymbolRecordBuild send this record without its trailing name slot.
struct SymbolInfoRecord {
  uint8_t custom;
  uint32_t chart_mode;
  uint8_t select;
  uint8_t visible;
  uint64_t session_deals;
  uint64_t session_buy_orders;
  uint64_t session_sell_orders;
  uint64_t volume;
  uint64_t volumehigh;
  uint64_t volumelow;
  int64_t time;
  uint32_t digits;
  int32_t spread;
  uint8_t spread_float;
  uint32_t ticks_bookdepth;
  uint32_t trade_calc_mode;
  uint32_t trade_mode;
  int64_t start_time;
  int64_t expiration_time;
  int32_t trade_stops_level;
  int32_t trade_freeze_level;
  uint32_t trade_exemode;
  uint32_t swap_mode;
  uint32_t swap_rollover3days;
  uint8_t margin_hedged_use_leg;
  int32_t expiration_mode;
  int32_t filling_mode;
  int32_t order_mode;
  uint32_t order_gtc_mode;
  uint32_t option_mode;
  uint32_t option_right;
  double bid;
  double bidhigh;
  double bidlow;
  double ask;
  double askhigh;
  double asklow;
  double last;
  double lasthigh;
  double lastlow;
  double volume_real;
  double volumehigh_real;
  double volumelow_real;
  double option_strike;
  double point;
  double trade_tick_value;
  double trade_tick_value_profit;
  double trade_tick_value_loss;
  double trade_tick_size;
  double trade_contract_size;
  double trade_accrued_interest;
  double trade_face_value;
  double trade_liquidity_rate;
  double volume_min;
  double volume_max;
  double volume_step;
  double volume_limit;
  double swap_long;
  double swap_short;
  double margin_initial;
  double margin_maintenance;
  double session_volume;
  double session_turnover;
  double session_interest;
  double session_buy_orders_volume;
  double session_sell_orders_volume;
  double session_open;
  double session_close;
  double session_aw;
  double session_price_settlement;
  double session_price_limit_min;
  double session_price_limit_max;
  double margin_hedged;
  double price_change;
  double price_volatility;
  double price_theoretical;
  double price_greeks_delta;
  double price_greeks_theta;
  double price_greeks_gamma;
  double price_greeks_vega;
  double price_greeks_rho;
  double price_greeks_omega;
  double price_sensitivity;
  char16_t basis[32];
  char16_t category[64];
  char16_t currency_base[16];
  char16_t currency_profit[16];
  char16_t currency_margin[16];
  char16_t bank[256];
  char16_t description[64];
  char16_t exchange[64];
  char16_t formula[256];
  char16_t isin[16];
  char16_t page[256];
  char16_t path[128];
  char16_t name[32];
};

struct BookEntryRecord {
  uint32_t type;
  double price;
  uint64_t volume;
  double volume_dbl;
};
#pragma pack(pop)

static_assert(sizeof(TerminalInfoRecord) == 3162, "terminal information record is 3162 bytes");
static_assert(offsetof(TerminalInfoRecord, maxbars) == 12 &&
                  offsetof(TerminalInfoRecord, vkid) == 16 &&
                  offsetof(TerminalInfoRecord, codepage) == 17 &&
                  offsetof(TerminalInfoRecord, community_balance) == 25 &&
                  offsetof(TerminalInfoRecord, company) == 41 &&
                  offsetof(TerminalInfoRecord, commondata_path) == 2641 &&
                  offsetof(TerminalInfoRecord, tradeapi_disabled) == 3161,
              "terminal information record layout");

static_assert(sizeof(AccountInfoRecord) == 851, "account information record is 851 bytes");
static_assert(offsetof(AccountInfoRecord, trade_allowed) == 24 &&
                  offsetof(AccountInfoRecord, margin_mode) == 26 &&
                  offsetof(AccountInfoRecord, fifo_close) == 34 &&
                  offsetof(AccountInfoRecord, balance) == 35 &&
                  offsetof(AccountInfoRecord, commission_blocked) == 139 &&
                  offsetof(AccountInfoRecord, name) == 147 &&
                  offsetof(AccountInfoRecord, server) == 403 &&
                  offsetof(AccountInfoRecord, currency) == 531 &&
                  offsetof(AccountInfoRecord, company) == 595,
              "account information record layout");

constexpr uint32_t kSymbolRecordSize = 2993;
constexpr uint32_t kLegacySymbolRecordSize = 2929;
static_assert(sizeof(SymbolInfoRecord) == kSymbolRecordSize, "symbol record is 2993 bytes");
static_assert(offsetof(SymbolInfoRecord, name) == kLegacySymbolRecordSize,
              "the legacy symbol record is the full one without its name slot");
static_assert(offsetof(SymbolInfoRecord, chart_mode) == 1 &&
                  offsetof(SymbolInfoRecord, session_deals) == 7 &&
                  offsetof(SymbolInfoRecord, time) == 55 &&
                  offsetof(SymbolInfoRecord, spread_float) == 71 &&
                  offsetof(SymbolInfoRecord, start_time) == 84 &&
                  offsetof(SymbolInfoRecord, margin_hedged_use_leg) == 120 &&
                  offsetof(SymbolInfoRecord, expiration_mode) == 121 &&
                  offsetof(SymbolInfoRecord, option_right) == 141 &&
                  offsetof(SymbolInfoRecord, bid) == 145 &&
                  offsetof(SymbolInfoRecord, price_sensitivity) == 553 &&
                  offsetof(SymbolInfoRecord, basis) == 561 &&
                  offsetof(SymbolInfoRecord, category) == 625 &&
                  offsetof(SymbolInfoRecord, currency_base) == 753 &&
                  offsetof(SymbolInfoRecord, bank) == 849 &&
                  offsetof(SymbolInfoRecord, description) == 1361 &&
                  offsetof(SymbolInfoRecord, exchange) == 1489 &&
                  offsetof(SymbolInfoRecord, formula) == 1617 &&
                  offsetof(SymbolInfoRecord, isin) == 2129 &&
                  offsetof(SymbolInfoRecord, page) == 2161 &&
                  offsetof(SymbolInfoRecord, path) == 2673,
              "symbol record layout");

static_assert(sizeof(BookEntryRecord) == 28, "book entry is 28 bytes");
static_assert(offsetof(BookEntryRecord, price) == 4 && offsetof(BookEntryRecord, volume) == 12 &&
                  offsetof(BookEntryRecord, volume_dbl) == 20,
              "book entry layout");

}  // namespace orbisyn
