// Record types of the terminal, account, symbol and depth-of-market replies.
#include "module/records.h"
#include "protocol/records.h"

namespace orbisyn {

namespace {

constexpr Field kTerminalInfoRows[] = {
    ORBISYN_ROWS_TerminalInfoRecord(ORBISYN_ROW)
};
static_assert(Tiles(kTerminalInfoRows, sizeof(TerminalInfoRecord)), "every byte is a field");

constexpr Field kAccountInfoRows[] = {
    ORBISYN_ROWS_AccountInfoRecord(ORBISYN_ROW)
};
static_assert(Tiles(kAccountInfoRows, sizeof(AccountInfoRecord)), "every byte is a field");

constexpr Field kSymbolInfoRows[] = {
    ORBISYN_ROWS_SymbolInfoRecord(ORBISYN_ROW)
};
static_assert(Tiles(kSymbolInfoRows, sizeof(SymbolInfoRecord)), "every byte is a field");

constexpr Field kBookInfoRows[] = {
    ORBISYN_ROWS_BookEntryRecord(ORBISYN_ROW)
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
