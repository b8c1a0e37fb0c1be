// Field lists of the record types returned by this subsystem.
#include "module/records.h"

namespace orbisyn {

PyStructSequence_Field kTradePositionFields[] = {

    {nullptr, nullptr},
};
PyStructSequence_Desc kTradePositionDesc = {"TradePosition", "Trade position structure", kTradePositionFields, 0};

PyStructSequence_Field kTradeOrderFields[] = {

    {nullptr, nullptr},
};
PyStructSequence_Desc kTradeOrderDesc = {"TradeOrder", "Trade order structure", kTradeOrderFields, 0};

PyStructSequence_Field kTradeDealFields[] = {

    {nullptr, nullptr},
};
PyStructSequence_Desc kTradeDealDesc = {"TradeDeal", "Trade deal structure", kTradeDealFields, 0};

}  // namespace orbisyn
