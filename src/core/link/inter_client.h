// The one session between this process and a Terminal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace orbisyn {

class ArrayAllocator;

constexpr size_t kPathUnits = 260;        // Windows path limit, kept on every platform
constexpr size_t kSetupTextUnits = 2048;
constexpr int32_t kSymbolRecordBuild = 2364;  // first build with the full symbol record

class CInterClient {
 public:
  platform::PipeHandle pipe = platform::kInvalidPipe;
  uint8_t path_hash[32] = {};
  char16_t setup_text[kSetupTextUnits] = {};
  int32_t build = 0;

  bool IsOpen() const { return pipe != platform::kInvalidPipe; }

  // ---- session -------------------------------------------------------------------------
  // Connects (locating the Terminal when path is empty) and performs the handshake.
  // Returns the handshake status (>= 0) or a negative result code.
  int32_t Initialize(const char16_t* path, bool portable);
  // Opens the pipe of the Terminal at path, starting the Terminal when its pipe is absent.
  // On failure the setup text says why.
  bool Connect(const char16_t* path, bool portable);
  bool OpenPipe(const char16_t* name);
  // Writes "\\.\pipe\Zelt.Terminal." and 64 upper-case hex digits into name (260 units).
  static void PipeName(const uint8_t hash[32], char16_t* name);
  int32_t Login(uint64_t login, const char16_t* password, const char16_t* server);
  int32_t WaitReady(uint32_t timeout_ms);
  // On a status > 0 *text receives a malloc'ed block of *units UTF-16 units (caller frees).
  int32_t Version(int32_t* first, int32_t* second, char16_t** text, uint32_t* units);
  void Close();

  // Formats an ASCII/UTF-8 printf-style message into the setup text.
  void SetSetupText(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // ---- terminal, account and symbol information ------------------------------------
  int32_t TerminalInfoGet(void* record);
  int32_t AccountInfoGet(void* record);
  int32_t SymbolsTotal(uint32_t* count);
  int32_t SymbolsGet(const char16_t* group, void** records, uint32_t* count);
  int32_t SymbolSelect(const char16_t* symbol, bool enable);
  int32_t SymbolInfoGet(const char16_t* symbol, void* record);
  int32_t SymbolInfoTick(const char16_t* symbol, void* tick);
  int32_t MarketBookAdd(const char16_t* symbol);
  int32_t MarketBookRelease(const char16_t* symbol);
  int32_t MarketBookGet(const char16_t* symbol, void** entries, uint32_t* count);

  // ---- bars and ticks: records land in a block from the caller's allocator -----------
  int32_t CopyRatesFrom(const char16_t* symbol, int32_t timeframe, int64_t date_from,
                        int32_t count, ArrayAllocator& out, uint32_t* n);
  int32_t CopyRatesRange(const char16_t* symbol, int32_t timeframe, int64_t date_from,
                         int64_t date_to, ArrayAllocator& out, uint32_t* n);
  int32_t CopyRatesFromPos(const char16_t* symbol, int32_t timeframe, int32_t start_pos,
                           int32_t count, ArrayAllocator& out, uint32_t* n);
  int32_t CopyTicksFrom(const char16_t* symbol, int64_t from_ms, int32_t count, int32_t flags,
                        ArrayAllocator& out, uint32_t* n);
  int32_t CopyTicksRange(const char16_t* symbol, int64_t from_ms, int64_t to_ms, int32_t flags,
                         ArrayAllocator& out, uint32_t* n);

  // ---- trading -------------------------------------------------------------------------
  int32_t OrderCheck(const void* request, void* result);
  int32_t OrderSend(const void* request, void* result);
  int32_t OrderCalcMargin(uint32_t action, const char16_t* symbol, double volume, double price,
                          double* margin);
  int32_t OrderCalcProfit(uint32_t action, const char16_t* symbol, double volume,
                          double price_open, double price_close, double* profit);

  // ---- positions, orders and history (group: optional mask list, null for none) ------
  int32_t PositionsTotal(uint32_t* count);
  int32_t PositionsGet(const char16_t* group, void** records, uint32_t* count);
  int32_t PositionsGetBySymbol(const char16_t* symbol, void** records, uint32_t* count);
  int32_t PositionGetByTicket(uint64_t ticket, void* record);
  int32_t OrdersTotal(uint32_t* count);
  int32_t OrdersGet(const char16_t* group, void** records, uint32_t* count);
  int32_t OrdersGetBySymbol(const char16_t* symbol, void** records, uint32_t* count);
  int32_t OrderGetByTicket(uint64_t ticket, void* record);
  int32_t HistoryOrdersTotal(int64_t date_from, int64_t date_to, uint32_t* count);
  int32_t HistoryOrdersGet(int64_t date_from, int64_t date_to, const char16_t* group,
                           void** records, uint32_t* count);
  int32_t HistoryOrdersGetByPosition(uint64_t position, void** records, uint32_t* count);
  int32_t HistoryOrderGetByTicket(uint64_t ticket, void* record);
  int32_t HistoryDealsTotal(int64_t date_from, int64_t date_to, uint32_t* count);
  int32_t HistoryDealsGet(int64_t date_from, int64_t date_to, const char16_t* group,
                          void** records, uint32_t* count);
  int32_t HistoryDealsGetByPosition(uint64_t position, void** records, uint32_t* count);
  int32_t HistoryDealGetByTicket(uint64_t ticket, void* record);
};

// The process-wide session.
extern CInterClient g_client;

}  // namespace orbisyn
