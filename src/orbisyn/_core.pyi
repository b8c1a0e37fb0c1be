"""Type stubs of the extension module orbisyn._core."""
import datetime
from typing import Any, Literal, SupportsFloat, SupportsIndex, Tuple, Union, overload

import numpy
import numpy.typing as npt
from typing_extensions import Unpack

from orbisyn._request_types import TradeRequestDict

# Arguments are read as Python means them. An int: anything with __index__ (numpy integers,
# IntEnum; not numpy's bool), in the parameter's range. A float: any real number (int,
# float, numpy scalars) but not a bool. A time: seconds as int or float (not a bool), a
# datetime (pandas.Timestamp too; naive = local time, aware = its instant) or a
# numpy.datetime64 (UTC); a date alone is refused.
_Int = SupportsIndex
_Float = Union[SupportsFloat, SupportsIndex]
_Time = Union[SupportsIndex, SupportsFloat, datetime.datetime, numpy.datetime64]
_Array = npt.NDArray[numpy.void]

class _Record(Tuple[Any, ...]):
    n_fields: int
    n_sequence_fields: int
    n_unnamed_fields: int
    def _asdict(self) -> dict[str, Any]: ...

class TradePosition(_Record):
    """An open position, as `positions_get` returns it.

    A tuple of 19 fields with names (a struct sequence): ``p.volume`` or ``p[9]``;
    ``p._asdict()`` gives a dict in field order. Times are UTC; `frames.records` turns a
    tuple of them into a DataFrame.
    """
    @property
    def ticket(self) -> int:
        """Position ticket, unique on the account; pass it as ``position`` of a closing request."""
    @property
    def time(self) -> int:
        """Open time, seconds since 1970-01-01 00:00 UTC."""
    @property
    def time_msc(self) -> int:
        """Open time, milliseconds since 1970-01-01 00:00 UTC."""
    @property
    def time_update(self) -> int:
        """Time of the last change (volume, stops), seconds since 1970-01-01 00:00 UTC."""
    @property
    def time_update_msc(self) -> int:
        """Time of the last change, milliseconds since 1970-01-01 00:00 UTC."""
    @property
    def type(self) -> int:
        """Direction: `orbisyn.codes.PositionType` (0 buy, 1 sell)."""
    @property
    def magic(self) -> int:
        """Magic number of the request that opened it (the program's own tag; 0 when none)."""
    @property
    def identifier(self) -> int:
        """Position identifier: the ticket of the order that opened it; deals and history orders of this position carry it as ``position_id``."""
    @property
    def reason(self) -> int:
        """Who opened it: `orbisyn.codes.Reason` (3 for requests sent through this module)."""
    @property
    def volume(self) -> float:
        """Volume in lots."""
    @property
    def price_open(self) -> float:
        """Open price (the average price when volume was added, on netting accounts)."""
    @property
    def sl(self) -> float:
        """Stop loss price; 0.0 when not set."""
    @property
    def tp(self) -> float:
        """Take profit price; 0.0 when not set."""
    @property
    def price_current(self) -> float:
        """Current price of the symbol, the one the position would close at (bid for a buy, ask for a sell)."""
    @property
    def swap(self) -> float:
        """Swap accumulated so far, in the account currency."""
    @property
    def profit(self) -> float:
        """Floating profit at ``price_current``, in the account currency."""
    @property
    def symbol(self) -> str:
        """Symbol name."""
    @property
    def comment(self) -> str:
        """Comment of the opening request (at most 31 characters)."""
    @property
    def external_id(self) -> str:
        """Identifier in an external trading system; empty when none."""

class TradeOrder(_Record):
    """An order: an active (pending) one from `orders_get`, or a past one from
    `history_orders_get`.

    A tuple of 24 fields with names. Times are UTC; a time of 0 means "none" (not done yet,
    no expiration).
    """
    @property
    def ticket(self) -> int:
        """Order ticket, unique on the account."""
    @property
    def time_setup(self) -> int:
        """Time the order was placed, seconds since 1970-01-01 00:00 UTC."""
    @property
    def time_setup_msc(self) -> int:
        """Time the order was placed, milliseconds since 1970-01-01 00:00 UTC."""
    @property
    def time_done(self) -> int:
        """Time it was filled or cancelled, seconds since 1970-01-01 00:00 UTC; 0 while active."""
    @property
    def time_done_msc(self) -> int:
        """Time it was filled or cancelled, milliseconds since 1970-01-01 00:00 UTC; 0 while active."""
    @property
    def time_expiration(self) -> int:
        """Expiration time, seconds since 1970-01-01 00:00 UTC; 0 when it does not expire."""
    @property
    def type(self) -> int:
        """Order type: `orbisyn.codes.OrderType` (0 buy, 1 sell, 2 buy limit, ...)."""
    @property
    def type_time(self) -> int:
        """Lifetime: `orbisyn.codes.OrderTime` (0 good till cancelled, 1 day, 2 until ``time_expiration``, 3 until the end of its day)."""
    @property
    def type_filling(self) -> int:
        """Filling policy: `orbisyn.codes.OrderFilling` (0 fill or kill, 1 immediate or cancel, 2 return)."""
    @property
    def state(self) -> int:
        """State: `orbisyn.codes.OrderState` (1 placed, 4 filled, 2 cancelled, ...)."""
    @property
    def magic(self) -> int:
        """Magic number of the request that placed it."""
    @property
    def position_id(self) -> int:
        """Identifier of the position it opened, changed or closed; 0 when none yet."""
    @property
    def position_by_id(self) -> int:
        """Identifier of the opposite position of a close-by order; 0 otherwise."""
    @property
    def reason(self) -> int:
        """Who placed it: `orbisyn.codes.Reason`."""
    @property
    def volume_initial(self) -> float:
        """Volume in lots when placed."""
    @property
    def volume_current(self) -> float:
        """Volume in lots not filled yet."""
    @property
    def price_open(self) -> float:
        """Price given in the order (0.0 for a market order before it is filled)."""
    @property
    def sl(self) -> float:
        """Stop loss price; 0.0 when not set."""
    @property
    def tp(self) -> float:
        """Take profit price; 0.0 when not set."""
    @property
    def price_current(self) -> float:
        """Current price of the symbol."""
    @property
    def price_stoplimit(self) -> float:
        """Limit price of a stop-limit order, placed when the stop price is reached; 0.0 otherwise."""
    @property
    def symbol(self) -> str:
        """Symbol name."""
    @property
    def comment(self) -> str:
        """Comment (at most 31 characters)."""
    @property
    def external_id(self) -> str:
        """Identifier in an external trading system; empty when none."""

class TradeDeal(_Record):
    """A deal (an execution, or a balance operation such as the deposit), as
    `history_deals_get` returns it.

    A tuple of 18 fields with names. The account balance is the sum of ``profit + commission +
    swap + fee`` over all deals.
    """
    @property
    def ticket(self) -> int:
        """Deal ticket, unique on the account."""
    @property
    def order(self) -> int:
        """Ticket of the order that made it; 0 for balance operations."""
    @property
    def time(self) -> int:
        """Execution time, seconds since 1970-01-01 00:00 UTC."""
    @property
    def time_msc(self) -> int:
        """Execution time, milliseconds since 1970-01-01 00:00 UTC."""
    @property
    def type(self) -> int:
        """Deal type: `orbisyn.codes.DealType` (0 buy, 1 sell, 2 balance, ...)."""
    @property
    def entry(self) -> int:
        """Direction of the deal for its position: `orbisyn.codes.DealEntry` (0 in, 1 out, 2 reverse, 3 out by an opposite position)."""
    @property
    def magic(self) -> int:
        """Magic number of the request."""
    @property
    def position_id(self) -> int:
        """Identifier of the position it opened, changed or closed; 0 for balance operations."""
    @property
    def reason(self) -> int:
        """Who made it: `orbisyn.codes.Reason` (4 stop loss, 5 take profit, 6 stop out, ...)."""
    @property
    def volume(self) -> float:
        """Volume in lots."""
    @property
    def price(self) -> float:
        """Execution price."""
    @property
    def commission(self) -> float:
        """Commission, in the account currency (negative: a charge)."""
    @property
    def swap(self) -> float:
        """Swap charged at closing, in the account currency."""
    @property
    def profit(self) -> float:
        """Profit, in the account currency (for a balance deal: the amount)."""
    @property
    def fee(self) -> float:
        """Fee charged for the deal, in the account currency."""
    @property
    def symbol(self) -> str:
        """Symbol name; empty for balance operations."""
    @property
    def comment(self) -> str:
        """Comment (at most 31 characters)."""
    @property
    def external_id(self) -> str:
        """Identifier in an external trading system; empty when none."""

class _RequestRecord(_Record):
    # Its dict is a request again, for order_send and order_check.
    def _asdict(self) -> TradeRequestDict: ...  # type: ignore[override]

class TradeRequest(_RequestRecord):
    """A trade request exactly as it was sent: the ``request`` field of the results of
    `order_check` and `order_send`.

    Keys that the request dict left out show their defaults (0, 0.0 or an empty string). Its
    ``_asdict()`` is a valid request for `order_send` again. The fields are also the keys a
    request dict may have.
    """
    @property
    def action(self) -> int:
        """What to do: `orbisyn.codes.TradeAction` (1 market deal, 5 place a pending order, 6 change a position's stops, 7 change a pending order, 8 remove it, 10 close by an opposite position)."""
    @property
    def magic(self) -> int:
        """The program's own tag, stored in the order, deal and position (0 to ``2**64 - 1``)."""
    @property
    def order(self) -> int:
        """Ticket of the pending order to change or remove (actions 7 and 8)."""
    @property
    def symbol(self) -> str:
        """Symbol name (at most 29 characters)."""
    @property
    def volume(self) -> float:
        """Volume in lots."""
    @property
    def price(self) -> float:
        """Price: of a pending order; for a market deal on a symbol in request or instant execution, the price expected (0.0: the current one)."""
    @property
    def stoplimit(self) -> float:
        """Limit price of a stop-limit order."""
    @property
    def sl(self) -> float:
        """Stop loss price; 0.0 for none."""
    @property
    def tp(self) -> float:
        """Take profit price; 0.0 for none."""
    @property
    def deviation(self) -> int:
        """Largest accepted deviation from ``price``, in points."""
    @property
    def type(self) -> int:
        """Order type: `orbisyn.codes.OrderType` (0 buy, 1 sell, 2 buy limit, ...)."""
    @property
    def type_filling(self) -> int:
        """Filling policy: `orbisyn.codes.OrderFilling` (0 fill or kill, 1 immediate or cancel, 2 return)."""
    @property
    def type_time(self) -> int:
        """Lifetime of a pending order: `orbisyn.codes.OrderTime`."""
    @property
    def expiration(self) -> int:
        """Expiration of a pending order with ``type_time`` 2 or 3, seconds since 1970-01-01 00:00 UTC (an int; 0 for none)."""
    @property
    def comment(self) -> str:
        """Comment (at most 29 characters)."""
    @property
    def position(self) -> int:
        """Ticket of the position to close or change (0: open a new one)."""
    @property
    def position_by(self) -> int:
        """Ticket of the opposite position, for a close-by (action 10)."""

class OrderSendResult(_Record):
    """What `order_send` returns: the trade server's answer and the request as sent.

    The call succeeded when a result comes back at all; whether the trade was done is in
    ``retcode`` (`orbisyn.codes.TradeRetcode.DONE`, 10009, for a market deal;
    ``PLACED``, 10008, for a pending order).
    """
    @property
    def retcode(self) -> int:
        """Trade server's return code: `orbisyn.codes.TradeRetcode` (10009 done, 10008 placed, 10018 market closed, 10019 not enough money, ...)."""
    @property
    def deal(self) -> int:
        """Ticket of the deal made; 0 when none was made."""
    @property
    def order(self) -> int:
        """Ticket of the order placed; 0 when none was placed. For a market deal that opened a position, also the position's identifier."""
    @property
    def volume(self) -> float:
        """Volume in lots that was dealt."""
    @property
    def price(self) -> float:
        """Deal price."""
    @property
    def bid(self) -> float:
        """Current bid price (when the request was answered with a requote)."""
    @property
    def ask(self) -> float:
        """Current ask price (when the request was answered with a requote)."""
    @property
    def comment(self) -> str:
        """Trade server's comment (for example "Request executed"), at most 99 characters."""
    @property
    def request_id(self) -> int:
        """Identifier the Terminal gave the request."""
    @property
    def retcode_external(self) -> int:
        """Return code of an external trading system; 0 when none."""
    @property
    def request(self) -> TradeRequest:
        """The request as sent: a `TradeRequest`."""

class OrderCheckResult(_Record):
    """What `order_check` returns: whether the request would pass, and the account after it.

    ``retcode`` 0 means the request would pass; any other value is a
    `orbisyn.codes.TradeRetcode` that says why not.
    """
    @property
    def retcode(self) -> int:
        """0 when the request would pass; otherwise a `orbisyn.codes.TradeRetcode` (10019 not enough money, 10014 invalid volume, ...)."""
    @property
    def balance(self) -> float:
        """Balance after the deal, in the account currency (commission taken)."""
    @property
    def equity(self) -> float:
        """Equity after the deal, in the account currency."""
    @property
    def profit(self) -> float:
        """Floating profit after the deal, in the account currency."""
    @property
    def margin(self) -> float:
        """Margin the account would use in all, in the account currency."""
    @property
    def margin_free(self) -> float:
        """Free margin after the deal, in the account currency."""
    @property
    def margin_level(self) -> float:
        """Margin level after the deal, in percent (equity / margin * 100)."""
    @property
    def comment(self) -> str:
        """Comment on the answer (for example "Done" or the reason for refusing)."""
    @property
    def request(self) -> TradeRequest:
        """The request as checked: a `TradeRequest`."""

class Tick(_Record):
    """The latest prices of a symbol, as `symbol_info_tick` returns them.

    The fields are those of one row of the tick arrays of `copy_ticks_from` and
    `copy_ticks_range`.
    """
    @property
    def time(self) -> int:
        """Time of the tick, seconds since 1970-01-01 00:00 UTC."""
    @property
    def bid(self) -> float:
        """Bid price."""
    @property
    def ask(self) -> float:
        """Ask price."""
    @property
    def last(self) -> float:
        """Price of the last deal (0.0 on symbols that have no exchange deals)."""
    @property
    def volume(self) -> int:
        """Volume of the last deal, in lots (whole number)."""
    @property
    def time_msc(self) -> int:
        """Time of the tick, milliseconds since 1970-01-01 00:00 UTC."""
    @property
    def flags(self) -> int:
        """What changed with this tick: bits of `orbisyn.codes.TickFlag` (2 bid, 4 ask, 8 last, 16 volume, 32 buy, 64 sell)."""
    @property
    def volume_real(self) -> float:
        """Volume of the last deal, in lots, with its fraction."""

class TerminalInfo(_Record):
    """The Terminal's state and settings, as `terminal_info` returns them."""
    @property
    def community_account(self) -> bool:
        """True when a community account is set in the Terminal."""
    @property
    def community_connection(self) -> bool:
        """True when the Terminal is connected to the community service."""
    @property
    def connected(self) -> bool:
        """True when the Terminal is connected to the trade server."""
    @property
    def dlls_allowed(self) -> bool:
        """True when the Terminal allows programs to use DLLs."""
    @property
    def trade_allowed(self) -> bool:
        """True when trading is allowed in the Terminal (its own switch)."""
    @property
    def tradeapi_disabled(self) -> bool:
        """True when the Terminal refuses trading through this API (`order_send` then fails)."""
    @property
    def email_enabled(self) -> bool:
        """True when e-mail sending is set up."""
    @property
    def ftp_enabled(self) -> bool:
        """True when FTP publishing is set up."""
    @property
    def notifications_enabled(self) -> bool:
        """True when push notifications are set up."""
    @property
    def vkid(self) -> bool:
        """True when the Terminal runs under a virtual hosting service."""
    @property
    def build(self) -> int:
        """Build number of the Terminal."""
    @property
    def maxbars(self) -> int:
        """Most bars a chart keeps; also the most the bar functions return in one call."""
    @property
    def codepage(self) -> int:
        """Code page of the Terminal's language."""
    @property
    def ping_last(self) -> int:
        """Last measured round trip to the trade server, in microseconds."""
    @property
    def community_balance(self) -> float:
        """Balance of the community account."""
    @property
    def retransmission(self) -> float:
        """Share of network packets sent again, in percent."""
    @property
    def company(self) -> str:
        """Name of the company that provides the Terminal."""
    @property
    def name(self) -> str:
        """Name of the Terminal."""
    @property
    def language(self) -> str:
        """Language of the Terminal."""
    @property
    def path(self) -> str:
        """Installation folder of the Terminal."""
    @property
    def data_path(self) -> str:
        """Data folder of the Terminal."""
    @property
    def commondata_path(self) -> str:
        """Folder shared by all Terminals of this user."""

class SymbolInfo(_Record):
    """Everything the Terminal knows about a symbol, as `symbol_info` and
    `symbols_get` return it.

    A tuple of 96 fields with names. Prices are in the symbol's quote currency, with
    ``digits`` decimal places; ``point`` is the smallest price step.
    """
    @property
    def custom(self) -> bool:
        """True for a custom symbol (made in the Terminal, not by the broker)."""
    @property
    def chart_mode(self) -> int:
        """Price that bars are built from: `orbisyn.codes.ChartMode` (0 bid, 1 last)."""
    @property
    def select(self) -> bool:
        """True when the symbol is selected in the Market Watch (see `symbol_select`)."""
    @property
    def visible(self) -> bool:
        """True when the symbol is shown in the Market Watch."""
    @property
    def session_deals(self) -> int:
        """Number of deals in the current session."""
    @property
    def session_buy_orders(self) -> int:
        """Number of buy orders at the moment."""
    @property
    def session_sell_orders(self) -> int:
        """Number of sell orders at the moment."""
    @property
    def volume(self) -> int:
        """Volume of the last deal, in lots (whole number)."""
    @property
    def volumehigh(self) -> int:
        """Highest deal volume of the day."""
    @property
    def volumelow(self) -> int:
        """Lowest deal volume of the day."""
    @property
    def time(self) -> int:
        """Time of the last quote, seconds since 1970-01-01 00:00 UTC."""
    @property
    def digits(self) -> int:
        """Decimal places of the price."""
    @property
    def spread(self) -> int:
        """Current spread, in points."""
    @property
    def spread_float(self) -> bool:
        """True when the spread floats."""
    @property
    def ticks_bookdepth(self) -> int:
        """Most levels shown in the depth of market (0 when there is none)."""
    @property
    def trade_calc_mode(self) -> int:
        """How margin and profit are computed: `orbisyn.codes.SymbolCalcMode` (0 forex, 2 CFD, ...)."""
    @property
    def trade_mode(self) -> int:
        """What trading is allowed: `orbisyn.codes.SymbolTradeMode` (0 disabled, 1 long only, 2 short only, 3 close only, 4 full)."""
    @property
    def start_time(self) -> int:
        """First day of trading (futures), seconds since 1970-01-01 00:00 UTC; 0 when not set."""
    @property
    def expiration_time(self) -> int:
        """Last day of trading (futures), seconds since 1970-01-01 00:00 UTC; 0 when not set."""
    @property
    def trade_stops_level(self) -> int:
        """Least distance of stop loss and take profit from the current price, in points."""
    @property
    def trade_freeze_level(self) -> int:
        """Distance from the current price, in points, within which orders and positions cannot be changed."""
    @property
    def trade_exemode(self) -> int:
        """Execution mode: `orbisyn.codes.SymbolExecution` (0 request, 1 instant, 2 market, 3 exchange)."""
    @property
    def swap_mode(self) -> int:
        """How swap is charged (the Terminal's code)."""
    @property
    def swap_rollover3days(self) -> int:
        """Day of the week with triple swap (0 Sunday .. 6 Saturday)."""
    @property
    def margin_hedged_use_leg(self) -> bool:
        """True when hedged margin is computed from the larger leg."""
    @property
    def expiration_mode(self) -> int:
        """Lifetimes a pending order may have: bits of `orbisyn.codes.SymbolExpiration` (1 GTC, 2 day, 4 specified, 8 specified day)."""
    @property
    def filling_mode(self) -> int:
        """Filling policies allowed: bits of `orbisyn.codes.SymbolFilling` (1 fill or kill, 2 immediate or cancel; 0: return only)."""
    @property
    def order_mode(self) -> int:
        """Order types allowed: bits of `orbisyn.codes.SymbolOrderMode` (1 market, 2 limit, 4 stop, 8 stop-limit, 16 stop loss, 32 take profit, 64 close-by)."""
    @property
    def order_gtc_mode(self) -> int:
        """How long stop loss and take profit stay (the Terminal's code)."""
    @property
    def option_mode(self) -> int:
        """Option type, European or American (the Terminal's code)."""
    @property
    def option_right(self) -> int:
        """Option right, call or put (the Terminal's code)."""
    @property
    def bid(self) -> float:
        """Current bid price."""
    @property
    def bidhigh(self) -> float:
        """Highest bid of the day."""
    @property
    def bidlow(self) -> float:
        """Lowest bid of the day."""
    @property
    def ask(self) -> float:
        """Current ask price."""
    @property
    def askhigh(self) -> float:
        """Highest ask of the day."""
    @property
    def asklow(self) -> float:
        """Lowest ask of the day."""
    @property
    def last(self) -> float:
        """Price of the last deal."""
    @property
    def lasthigh(self) -> float:
        """Highest deal price of the day."""
    @property
    def lastlow(self) -> float:
        """Lowest deal price of the day."""
    @property
    def volume_real(self) -> float:
        """Volume of the last deal, in lots, with its fraction."""
    @property
    def volumehigh_real(self) -> float:
        """Highest deal volume of the day, with its fraction."""
    @property
    def volumelow_real(self) -> float:
        """Lowest deal volume of the day, with its fraction."""
    @property
    def option_strike(self) -> float:
        """Strike price of an option."""
    @property
    def point(self) -> float:
        """Value of one point: the smallest price step (0.00001 for a five-digit quote)."""
    @property
    def trade_tick_value(self) -> float:
        """Value of one price tick (``trade_tick_size``) for one lot, in the account currency."""
    @property
    def trade_tick_value_profit(self) -> float:
        """Tick value for a profitable position, in the account currency."""
    @property
    def trade_tick_value_loss(self) -> float:
        """Tick value for a losing position, in the account currency."""
    @property
    def trade_tick_size(self) -> float:
        """Smallest price change."""
    @property
    def trade_contract_size(self) -> float:
        """Contract size: units of the base asset in one lot (100000 for a forex pair)."""
    @property
    def trade_accrued_interest(self) -> float:
        """Accrued interest of a bond."""
    @property
    def trade_face_value(self) -> float:
        """Face value of a bond."""
    @property
    def trade_liquidity_rate(self) -> float:
        """Liquidity rate: the share of the asset's value counted as collateral."""
    @property
    def volume_min(self) -> float:
        """Smallest volume of a deal, in lots."""
    @property
    def volume_max(self) -> float:
        """Largest volume of a deal, in lots."""
    @property
    def volume_step(self) -> float:
        """Step of the volume of a deal, in lots."""
    @property
    def volume_limit(self) -> float:
        """Largest volume of all positions and orders of the symbol in one direction, in lots (0: no limit)."""
    @property
    def swap_long(self) -> float:
        """Swap of a long position (unit per ``swap_mode``)."""
    @property
    def swap_short(self) -> float:
        """Swap of a short position (unit per ``swap_mode``)."""
    @property
    def margin_initial(self) -> float:
        """Initial margin of one lot, in the margin currency (0.0: computed from ``trade_calc_mode``)."""
    @property
    def margin_maintenance(self) -> float:
        """Maintenance margin of one lot, in the margin currency."""
    @property
    def session_volume(self) -> float:
        """Volume of the current session's deals."""
    @property
    def session_turnover(self) -> float:
        """Turnover of the current session."""
    @property
    def session_interest(self) -> float:
        """Open interest."""
    @property
    def session_buy_orders_volume(self) -> float:
        """Volume of buy orders at the moment."""
    @property
    def session_sell_orders_volume(self) -> float:
        """Volume of sell orders at the moment."""
    @property
    def session_open(self) -> float:
        """Open price of the session."""
    @property
    def session_close(self) -> float:
        """Close price of the previous session."""
    @property
    def session_aw(self) -> float:
        """Average weighted price of the session."""
    @property
    def session_price_settlement(self) -> float:
        """Settlement price of the session."""
    @property
    def session_price_limit_min(self) -> float:
        """Lowest price allowed in the session."""
    @property
    def session_price_limit_max(self) -> float:
        """Highest price allowed in the session."""
    @property
    def margin_hedged(self) -> float:
        """Contract size or margin of one lot of hedged positions."""
    @property
    def price_change(self) -> float:
        """Change of the price since the previous session's close, in percent."""
    @property
    def price_volatility(self) -> float:
        """Price volatility, in percent."""
    @property
    def price_theoretical(self) -> float:
        """Theoretical price of an option."""
    @property
    def price_greeks_delta(self) -> float:
        """Delta of an option."""
    @property
    def price_greeks_theta(self) -> float:
        """Theta of an option."""
    @property
    def price_greeks_gamma(self) -> float:
        """Gamma of an option."""
    @property
    def price_greeks_vega(self) -> float:
        """Vega of an option."""
    @property
    def price_greeks_rho(self) -> float:
        """Rho of an option."""
    @property
    def price_greeks_omega(self) -> float:
        """Omega of an option."""
    @property
    def price_sensitivity(self) -> float:
        """Sensitivity of an option."""
    @property
    def basis(self) -> str:
        """Underlying asset of a derivative."""
    @property
    def category(self) -> str:
        """Category or sector."""
    @property
    def currency_base(self) -> str:
        """Base currency ("EUR" of EURUSD)."""
    @property
    def currency_profit(self) -> str:
        """Currency that profit is computed in ("USD" of EURUSD)."""
    @property
    def currency_margin(self) -> str:
        """Currency that margin is computed in."""
    @property
    def bank(self) -> str:
        """Source of the current quote."""
    @property
    def description(self) -> str:
        """Description."""
    @property
    def exchange(self) -> str:
        """Exchange that trades it."""
    @property
    def formula(self) -> str:
        """Formula of a custom symbol's price."""
    @property
    def isin(self) -> str:
        """ISIN code."""
    @property
    def name(self) -> str:
        """Symbol name."""
    @property
    def page(self) -> str:
        """Web page with information on the symbol."""
    @property
    def path(self) -> str:
        """Path in the Terminal's tree of symbols."""

class AccountInfo(_Record):
    """The trading account that is logged in, as `account_info` returns it.

    Money figures are in the account ``currency``.
    """
    @property
    def login(self) -> int:
        """Account number."""
    @property
    def trade_mode(self) -> int:
        """Kind of account: `orbisyn.codes.AccountTradeMode` (0 demo, 1 contest, 2 real)."""
    @property
    def leverage(self) -> int:
        """Leverage, as the N of 1:N."""
    @property
    def limit_orders(self) -> int:
        """Most pending orders the account may have at once (0: no limit)."""
    @property
    def margin_so_mode(self) -> int:
        """How ``margin_so_call`` and ``margin_so_so`` are given: `orbisyn.codes.MarginStopOutMode` (0 percent, 1 money)."""
    @property
    def trade_allowed(self) -> bool:
        """True when the account may trade."""
    @property
    def trade_expert(self) -> bool:
        """True when programs (this module included) may trade on the account."""
    @property
    def margin_mode(self) -> int:
        """How positions are kept: `orbisyn.codes.AccountMarginMode` (0 netting: one position per symbol; 2 hedging: many)."""
    @property
    def currency_digits(self) -> int:
        """Decimal places of the account currency."""
    @property
    def fifo_close(self) -> bool:
        """True when positions must be closed in the order they were opened."""
    @property
    def balance(self) -> float:
        """Balance: the money without open positions' profit."""
    @property
    def credit(self) -> float:
        """Credit given by the broker."""
    @property
    def profit(self) -> float:
        """Floating profit of all open positions."""
    @property
    def equity(self) -> float:
        """Equity: balance + credit + floating profit."""
    @property
    def margin(self) -> float:
        """Margin in use by open positions and orders."""
    @property
    def margin_free(self) -> float:
        """Free margin: equity - margin."""
    @property
    def margin_level(self) -> float:
        """Margin level in percent (equity / margin * 100); 0.0 without margin in use."""
    @property
    def margin_so_call(self) -> float:
        """Margin call level (percent or money, see ``margin_so_mode``)."""
    @property
    def margin_so_so(self) -> float:
        """Stop out level (percent or money, see ``margin_so_mode``): below it positions are closed."""
    @property
    def margin_initial(self) -> float:
        """Margin reserved to cover pending orders."""
    @property
    def margin_maintenance(self) -> float:
        """Least margin kept to cover open positions."""
    @property
    def assets(self) -> float:
        """Current assets."""
    @property
    def liabilities(self) -> float:
        """Current liabilities."""
    @property
    def commission_blocked(self) -> float:
        """Commission blocked on the account."""
    @property
    def name(self) -> str:
        """Name of the account holder."""
    @property
    def server(self) -> str:
        """Trade server name."""
    @property
    def currency(self) -> str:
        """Account currency (for example "USD")."""
    @property
    def company(self) -> str:
        """Name of the broker."""

class BookInfo(_Record):
    """One price level of a depth of market, as `market_book_get` returns them."""
    @property
    def type(self) -> int:
        """Side: `orbisyn.codes.BookType` (1 sell, 2 buy, 3 sell by market, 4 buy by market)."""
    @property
    def price(self) -> float:
        """Price of the level."""
    @property
    def volume(self) -> int:
        """Volume at the level, in lots (whole number)."""
    @property
    def volume_dbl(self) -> float:
        """Volume at the level, in lots, with its fraction."""

def initialize(path: str = ..., *, login: _Int = ..., password: str = ..., server: str = ...,
               timeout: _Int = ..., portable: object = ...) -> bool:
    """Connect to a Terminal, starting it when it is not running.

    Closes any link that is open, finds the Terminal (at `path`, or the one the search described
    under `path` picks), starts it when its pipe is absent, optionally logs in to an account,
    and waits until the Terminal is ready.

    Parameters
    ----------
    path : str, optional
        Full path of the Terminal's ``terminal64.exe`` (at most 257 UTF-16 code units).
        Not given or empty: the Terminal is looked for in the data folders under
        ``Quillmark/Terminal/`` of the application-data folder (``%APPDATA%`` on Windows,
        ``$XDG_DATA_HOME`` or ``~/.local/share`` elsewhere) and, on Linux, in those of the
        users of the Wine prefixes ``$WINEPREFIX`` and ``~/.wine``. The pick: the Terminal
        that started this Python process; else, with ``WINEPREFIX`` set, the one of that
        prefix used last; else the native one used last; else the one of ``~/.wine`` used
        last (``orbisyn-terminal list`` shows them all, and the pick). A Terminal in a Wine
        prefix, found so or named by its Linux path (or by its Windows path, with
        ``WINEPREFIX`` set), is reached through ``orbisyn-relay.exe``.
    login : int, optional
        Account number to log in to (0 to ``2**64 - 1``). Not given: the Terminal's current account.
    password : str, optional
        Password of that account (at most 253 UTF-16 code units).
    server : str, optional
        Trade server of that account (at most 253 UTF-16 code units).
    timeout : int, optional
        Milliseconds that the whole call may take: finding and starting the Terminal, the
        handshake, the login and the wait until it is ready. 0 or not given: 60000 (60 s).
    portable : bool, optional
        Start the Terminal with ``/portable`` (its data folder is its installation folder).
        Any object, taken by its truth value. Default False. Only used when the Terminal has to
        be started.

    Returns
    -------
    bool
        True: the link is open and the Terminal is ready.

    Failure
    -------
    Returns False. `last_error` then gives:

    - ``-2``: a bad argument; nothing is started, and a link that was open is closed.
      "Invalid 1st unnamed argument": `path` is not a str, or too long; 'Invalid "login"
      argument' (or the name of another keyword): a value of the wrong type, out of range or
      too long; "Invalid number of arguments": more than one argument by position (the others
      are keyword only); 'Unknown "pth" argument, did you mean "path"?': a keyword it does not
      take.
    - ``-10003`` "IPC initialize failed, ...": no Terminal found (the message says where it
      looked), its file or Wine prefix is missing, it could not be started, or its pipe did
      not appear; the rest of the message says which.
    - ``-6`` "Terminal: Authorization failed": the login was refused.
    - ``-7`` "Unsupported authorization mode, OTP or certificate password needed".
    - ``-5`` "Terminal: Incompatible versions": the Terminal is too old for this module.
    - ``-10005`` "IPC timeout": the Terminal was not ready within `timeout`.
    - ``-10001``, ``-10002``, ``-10000``: the handshake failed.

    Notes
    -----
    Calling `initialize` again reconnects (to the same or another Terminal); `shutdown` closes
    the link and leaves the Terminal running. A Terminal that refused a login keeps refusing
    an `initialize` without credentials until one logs in with valid ones.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.last_error()
    (1, 'Success')
    >>> orbisyn.initialize(5), orbisyn.last_error()
    (False, (-2, 'Invalid 1st unnamed argument'))
    >>> orbisyn.initialize(login=-1), orbisyn.last_error()
    (False, (-2, 'Invalid "login" argument'))
    >>> orbisyn.initialize("", 5001001), orbisyn.last_error()
    (False, (-2, 'Invalid number of arguments'))
    >>> orbisyn.initialize(pth="terminal64.exe"), orbisyn.last_error()
    (False, (-2, 'Unknown "pth" argument, did you mean "path"?'))
    >>> orbisyn.terminal_info(), orbisyn.last_error()    # the refusals closed the link
    (None, (-10004, 'No IPC connection'))
    >>> orbisyn.initialize(login=5001001, password="wrong"), orbisyn.last_error()
    (False, (-6, 'Terminal: Authorization failed'))
    >>> orbisyn.initialize(login=5001001, password="demo-pass", server="Orbisyn-Demo")
    True
    """
def login(login: _Int = ..., password: str = ..., server: str = ..., *, timeout: _Int = ...) -> bool:
    """Switch the connected Terminal to another trading account.

    Parameters
    ----------
    login : int
        Account number (1 to ``2**64 - 1``); required.
    password : str, optional
        Its password (at most 253 UTF-16 code units). Not given: the one the Terminal has saved.
    server : str, optional
        Its trade server (at most 253 UTF-16 code units). Not given: the current server.
    timeout : int, optional
        Milliseconds to wait until the Terminal is ready after the login; 0 or not given:
        60000 (60 s). Keyword only.

    Returns
    -------
    bool
        True: the Terminal is logged in to that account and ready.

    Failure
    -------
    Returns False; the link stays open (on the previous account when the login was refused).
    `last_error` then gives:

    - ``-2`` 'Invalid "login" argument': `login` missing or 0, or given by name and not an
      integer in range; "Invalid 1st unnamed argument" (2nd, 3rd: `password`, `server`): a value
      given by position of the wrong type, out of range or too long; "Invalid number of
      arguments": more than three arguments by position. The link stays open.
    - ``-6`` "Terminal: Authorization failed": wrong login, password or server.
    - ``-7`` "Unsupported authorization mode, OTP or certificate password needed".
    - ``-10005`` "IPC timeout": not ready within `timeout`, or the time limit of
      `orbisyn.set_timeout` ran out (the link is then closed).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.

    Notes
    -----
    Positionally the order is login, password, server.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.login(5001001, "demo-pass", "Orbisyn-Demo")
    True
    >>> orbisyn.account_info().login
    5001001
    >>> orbisyn.login(5001001, "wrong")
    False
    >>> orbisyn.last_error()
    (-6, 'Terminal: Authorization failed')
    >>> orbisyn.login(5001001, "demo-pass")  # a refused login sticks until one succeeds
    True
    >>> orbisyn.login(), orbisyn.last_error()
    (False, (-2, 'Invalid "login" argument'))
    >>> orbisyn.login("5001001"), orbisyn.last_error()
    (False, (-2, 'Invalid 1st unnamed argument'))
    >>> orbisyn.login(5001001, "demo-pass", "Orbisyn-Demo", 5000), orbisyn.last_error()
    (False, (-2, 'Invalid number of arguments'))
    >>> orbisyn.account_info().login    # still logged in
    5001001
    """
def shutdown() -> bool:
    """Close the link to the Terminal; the Terminal keeps running.

    Returns
    -------
    bool
        True, also when no link was open.

    Failure
    -------
    Returns False; the link stays open. `last_error` then gives:

    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).

    Notes
    -----
    Called from another thread, it ends a call that is waiting for the Terminal at once (that
    call returns its failure value, as on a broken link). Call `initialize` to connect again.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.shutdown(1), orbisyn.last_error()
    (False, (-2, 'Invalid arguments: takes none, 1 given'))
    >>> orbisyn.terminal_info() is not None    # still open
    True
    >>> orbisyn.shutdown()
    True
    >>> orbisyn.terminal_info() is None, orbisyn.last_error()
    (True, (-10004, 'No IPC connection'))
    >>> orbisyn.initialize()
    True
    """
def version() -> tuple[int, int, str]:
    """Get the Terminal's version: (version, build, release date).

    Returns
    -------
    tuple of (int, int, str)
        The Terminal's version number, its build number and its release date as text, for
        example ``(500, 4850, '07 Dec 2026')``.

    Failure
    -------
    Returns ``(0, 0, '')``. `last_error` then gives:

    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> number, build, date = orbisyn.version()
    >>> build >= 2364
    True
    >>> orbisyn.version(1), orbisyn.last_error()
    ((0, 0, ''), (-2, 'Invalid arguments: takes none, 1 given'))
    """
def last_error() -> tuple[int, str]:
    """Return the code and message of the last call of this thread.

    Every module function sets them: ``(1, 'Success')`` when it succeeded, a negative code
    and its message when it failed. They stay until the thread's next call.

    Returns
    -------
    tuple of (int, str)
        ``(code, message)``. The codes are named in `orbisyn.codes.Result`: 1 success;
        -1 to -8 the Terminal's own (for example -4 "Terminal: Not found"); -10000 to -10005
        the link's. ``(0, '')`` before the first call of the thread.

    Failure
    -------
    Given an argument, it is refused as any call is: it returns ``(-2, 'Invalid arguments:
    takes none, 1 given')``, and that pair becomes what it gives next.

    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).

    Notes
    -----
    The state is kept per thread: a call in another thread does not change what this thread
    reads. ``last_error()`` itself changes nothing.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.symbol_info("NOSUCH") is None
    True
    >>> orbisyn.last_error()
    (-4, 'Terminal: Not found')
    >>> from orbisyn.codes import Result
    >>> Result(orbisyn.last_error()[0]).name
    'NOT_FOUND'
    >>> orbisyn.last_error(1)
    (-2, 'Invalid arguments: takes none, 1 given')
    >>> orbisyn.last_error()
    (-2, 'Invalid arguments: takes none, 1 given')
    """
def set_timeout(seconds: float | None, /) -> None:
    """Limit how long any call may wait on the Terminal without progress.

    Process-wide, for every function except `initialize` (which has its own ``timeout``)
    and `last_error`. Off by default: without a limit a call waits as long as the Terminal
    takes, also for ever when the Terminal hangs.

    Parameters
    ----------
    seconds : float or None
        How long one exchange may go without a byte moving, in seconds (greater than 0,
        finite; an int, float or any real number). None: no limit, the default.

    Returns
    -------
    None

    Failure
    -------
    A setting, not a call to the Terminal: a value that is not a time limit raises
    ``TypeError`` (not a number: a str, bytes, a bool, which is no time) or ``ValueError``
    (0 or less, NaN, infinite), and the limit stays as it was. `last_error` is left alone.
    A limit above 4 294 967 s (49.7 days) waits that long.

    Notes
    -----
    The limit is on waiting *without progress*, so a large reply that keeps coming (a
    million bars, a day of ticks) is never cut however long it takes. A call that runs out
    returns its failure value with (-10005, "IPC timeout") and closes the link, since the
    rest of the reply would put the link out of step: later calls report (-10004, "No IPC
    connection") until `initialize` is called again. A call that has begun keeps the limit
    it began with; setting it is safe from any thread. `shutdown` from another thread still
    ends a waiting call at once.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.set_timeout(5)
    >>> orbisyn.get_timeout()
    5.0
    >>> orbisyn.set_timeout(None)
    >>> orbisyn.get_timeout() is None
    True
    >>> orbisyn.set_timeout(True)
    Traceback (most recent call last):
    ...
    TypeError: timeout must be a number of seconds or None, not bool
    >>> orbisyn.set_timeout(0)
    Traceback (most recent call last):
    ...
    ValueError: timeout must be a positive number of seconds or None
    >>> orbisyn.get_timeout() is None    # unchanged
    True
    """
def get_timeout() -> float | None:
    """Return the time limit that `set_timeout` set, in seconds.

    Returns
    -------
    float or None
        The limit in seconds, or None when calls wait without limit (the default).

    Notes
    -----
    A setting: it changes nothing and leaves `last_error` alone. Given an argument, it raises
    ``TypeError`` (it takes none).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.get_timeout() is None
    True
    """

def terminal_info() -> TerminalInfo | None:
    """Return the Terminal's state and settings.

    Returns
    -------
    TerminalInfo
        Build, connection and permission switches, limits (``maxbars``), language and the
        installation and data folders.

    Failure
    -------
    Returns None. `last_error` then gives the Terminal's negative status, or:

    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> info = orbisyn.terminal_info()
    >>> info.connected, info.trade_allowed
    (True, True)
    >>> info.build == orbisyn.version()[1]
    True
    >>> orbisyn.terminal_info(1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: takes none, 1 given'))
    """
def account_info() -> AccountInfo | None:
    """Return the trading account that is logged in.

    Returns
    -------
    AccountInfo
        Login, modes, leverage, money figures (balance, equity, margin, ...) in the account
        currency, and the account's texts.

    Failure
    -------
    Returns None. `last_error` then gives the Terminal's negative status, or:

    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> account = orbisyn.account_info()
    >>> account.login, account.currency, account.leverage
    (5001001, 'USD', 100)
    >>> orbisyn.account_info(1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: takes none, 1 given'))
    """
def symbols_total() -> int | None:
    """Return the number of symbols the Terminal knows, selected in the Market Watch or not.

    Returns
    -------
    int
        Number of symbols (0 or more).

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-5`` "Terminal: Incompatible versions": a Terminal older than build 2364.
    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.symbols_total()
    17
    >>> orbisyn.symbols_total(1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: takes none, 1 given'))
    """
def symbols_get(group: str = ...) -> tuple[SymbolInfo, ...] | Literal[False] | None:
    """Return every symbol, or those whose names match a group mask.

    Parameters
    ----------
    group : str, optional
        Group mask list (at most 1997 UTF-16 code units), also given positionally:
        comma-separated masks with ``*`` for any run of characters, and ``!`` before a mask
        to exclude what it matches. ``"*USD*"`` selects names containing USD;
        ``"*,!*JPY*"`` every name without JPY. Not given or empty: all symbols. The
        Terminal applies the mask.

    Returns
    -------
    tuple of SymbolInfo
        One record per symbol, in the Terminal's order; empty when none matches.

    Failure
    -------
    Returns False for a bad argument, None for other failures. `last_error` then gives:

    - ``-2``, with the value False: "Invalid 1st unnamed argument": `group` given by position is
      not a str, or too long; 'Invalid "group" argument': the same by name; "Invalid number of
      arguments": more than one argument by position.
    - ``-5`` "Terminal: Incompatible versions": a Terminal older than build 2364.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    Matching is case-sensitive and never moves back in the name: ``"*AA"`` does not match
    ``"AAA"``. A name passes when some mask without ``!`` matches it and no mask with ``!``
    does, so ``"!*JPY*"`` alone selects nothing. Spaces around the masks are ignored.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> [s.name for s in orbisyn.symbols_get("*JPY*")]
    ['USDJPY', 'EURJPY']
    >>> len(orbisyn.symbols_get(group="*,!*USD*"))
    5
    >>> orbisyn.symbols_get(5), orbisyn.last_error()
    (False, (-2, 'Invalid 1st unnamed argument'))
    >>> orbisyn.symbols_get(group=5), orbisyn.last_error()
    (False, (-2, 'Invalid "group" argument'))
    >>> orbisyn.symbols_get("*USD*", "*JPY*"), orbisyn.last_error()
    (False, (-2, 'Invalid number of arguments'))
    """
def symbol_info(symbol: str) -> SymbolInfo | None:
    """Return everything the Terminal knows about one symbol.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).

    Returns
    -------
    SymbolInfo
        96 fields: trading modes and limits, current and daily prices, contract figures,
        margin and swap terms, texts.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units
      (a call of another shape: see the guide's Errors page).
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    A symbol need not be selected in the Market Watch for this call. ``point`` and ``digits``
    give the price step; ``volume_min``, ``volume_step`` and ``volume_max`` the lot sizes that
    `order_send` accepts.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> eurusd = orbisyn.symbol_info("EURUSD")
    >>> eurusd.digits, eurusd.point, eurusd.currency_profit
    (5, 1e-05, 'USD')
    >>> eurusd.volume_min, eurusd.volume_step
    (0.01, 0.01)
    >>> orbisyn.symbol_info("A" * 30), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol"'))
    >>> orbisyn.symbol_info("NOSUCH"), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    """
def symbol_info_tick(symbol: str) -> Tick | None:
    """Return the latest tick of a symbol: its current prices.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).

    Returns
    -------
    Tick
        Time (seconds and milliseconds, UTC), bid, ask, last, volume and flags of the newest
        tick.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units
      (a call of another shape: see the guide's Errors page).
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol, or has no tick
      of it.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> tick = orbisyn.symbol_info_tick("BTCUSD")
    >>> tick.ask > tick.bid > 0, tick.time == tick.time_msc // 1000
    (True, True)
    >>> orbisyn.symbol_info_tick(5), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol"'))
    >>> orbisyn.symbol_info_tick("NOSUCH"), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    """
def symbol_select(symbol: str, enable: object = ...) -> bool:
    """Select a symbol in the Market Watch, or remove it from there.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    enable : bool, optional
        True (default) to select, False to remove; any object, taken by its truth value.

    Returns
    -------
    bool
        True when the Terminal did it.

    Failure
    -------
    Returns False. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units;
      'Invalid arguments: takes at most 2, 3 given': more than two arguments.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - the Terminal's negative status when it refuses.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.symbol_select("EURGBP")
    True
    >>> orbisyn.symbol_info("EURGBP").select
    True
    >>> orbisyn.symbol_select("EURGBP", False)
    True
    >>> orbisyn.symbol_select("EURGBP", enable=True)
    True
    >>> orbisyn.symbol_select(None), orbisyn.last_error()
    (False, (-2, 'Invalid arguments: "symbol"'))
    >>> orbisyn.symbol_select("EURGBP", True, 1), orbisyn.last_error()
    (False, (-2, 'Invalid arguments: takes at most 2, 3 given'))
    >>> orbisyn.symbol_select("NOSUCH"), orbisyn.last_error()
    (False, (-4, 'Terminal: Not found'))
    """
def market_book_add(symbol: str) -> bool | None:
    """Open the depth of market of a symbol, so that `market_book_get` can read it.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).

    Returns
    -------
    bool
        True when the Terminal opened it.

    Failure
    -------
    Returns None for a bad argument, False when the Terminal refused or the link failed.
    `last_error` then gives:

    - ``-2`` 'Invalid arguments: "symbol"', with the value None: not a str, or longer than 29
      UTF-16 code units (a call of another shape: see the guide's Errors page).
    - ``-4`` "Terminal: Not found": no such symbol, or it has no depth of market.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    Each `market_book_add` should be matched by a `market_book_release` when the program no
    longer needs the book.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.market_book_add("EURUSD")
    True
    >>> len(orbisyn.market_book_get("EURUSD")) > 0
    True
    >>> orbisyn.market_book_release("EURUSD")
    True
    >>> orbisyn.market_book_add(5), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol"'))
    >>> orbisyn.market_book_add("NOSUCH"), orbisyn.last_error()
    (False, (-4, 'Terminal: Not found'))
    """
def market_book_release(symbol: str) -> bool | None:
    """Close the depth of market of a symbol that `market_book_add` opened.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).

    Returns
    -------
    bool
        True when the Terminal closed it.

    Failure
    -------
    Returns None for a bad argument, False when the Terminal refused or the link failed.
    `last_error` then gives:

    - ``-2`` 'Invalid arguments: "symbol"', with the value None: not a str, or longer than 29
      UTF-16 code units (a call of another shape: see the guide's Errors page).
    - ``-4`` "Terminal: Not found": the book of that symbol was not open.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.market_book_add("GBPUSD"), orbisyn.market_book_release("GBPUSD")
    (True, True)
    >>> orbisyn.market_book_release("GBPUSD"), orbisyn.last_error()    # not open now
    (False, (-4, 'Terminal: Not found'))
    >>> orbisyn.market_book_release(["GBPUSD"]), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol"'))
    """
def market_book_get(symbol: str) -> tuple[BookInfo, ...] | None:
    """Return the depth of market of a symbol: its price levels with their volumes.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).

    Returns
    -------
    tuple of BookInfo
        The levels in the Terminal's order (sell levels from the highest price down, then buy
        levels from the highest down); empty when the book has none.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units
      (a call of another shape: see the guide's Errors page).
    - ``-4`` "Terminal: Not found": no such symbol, or its book is not open (call
      `market_book_add` first).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn.codes import BookType
    >>> orbisyn.market_book_add("EURUSD")
    True
    >>> book = orbisyn.market_book_get("EURUSD")
    >>> sorted({BookType(level.type).name for level in book})
    ['BUY', 'SELL']
    >>> orbisyn.market_book_release("EURUSD")
    True
    >>> orbisyn.market_book_get(b"EURUSD"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol"'))
    >>> orbisyn.market_book_get("EURUSD"), orbisyn.last_error()    # released
    (None, (-4, 'Terminal: Not found'))
    """

def copy_rates_from(symbol: str, timeframe: _Int, date_from: _Time, count: _Int) -> _Array | None:
    """Get the `count` bars that end at `date_from`: the last bar opens at or before it.

    The bars whose open time is at or before `date_from`, newest `count` of them, returned
    oldest first. Despite the parameter's name, the count goes back in time from
    `date_from`, not forward (unlike `copy_ticks_from`).

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeframe : int
        Bar length: a `orbisyn.codes.Timeframe` (``Timeframe.M1`` is 1, ``Timeframe.H1``
        16385, ``Timeframe.D1`` 16408).
    date_from : datetime, int or float
        The newest bar returned is the one that opens at this time, or the last one before it.
        Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    count : int
        Number of bars, counted back from `date_from` (0 to ``2**31 - 1``). Fewer come back when the
        history is shorter; at most ``terminal_info().maxbars``.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of bars, oldest first, with the fields ``time``
        (int64, open time in seconds since 1970-01-01 UTC), ``open``, ``high``, ``low``,
        ``close`` (float64), ``tick_volume`` (uint64, number of ticks), ``spread`` (int32,
        points) and ``real_volume`` (uint64, traded volume; 0 where the symbol has none).
        Empty (length 0) when no bar matches. `orbisyn.frames.rates` makes a DataFrame of it.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "count"' and the like, naming the argument: a symbol that
      is not a str or too long; a `timeframe` or `count` that is not an integer (an int or anything with
      ``__index__``: ``3.0`` is none) or does not fit 32 bits; a `date_from` that is no time
      (a bool is none); 'Invalid arguments: "date_from": a date names no instant, give a
      datetime' for a `datetime.date`. A call of another shape: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-2`` "Terminal: Invalid params": the Terminal refused a value: an unknown timeframe,
      a negative count. A count above ``terminal_info().maxbars`` gives that many bars at
      most.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    A bar opening exactly at `date_from` is included: 12:00 with ``Timeframe.H1`` and a count
    of 3 gives the bars of 10:00, 11:00 and 12:00. Bar open times are aligned to the
    timeframe in UTC (a week starts on Monday, a month on its first day). The newest bar may
    still be forming.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn.codes import Timeframe
    >>> noon = datetime(2026, 12, 2, 12, tzinfo=timezone.utc)
    >>> rates = orbisyn.copy_rates_from("EURUSD", Timeframe.H1, noon, 3)
    >>> [datetime.fromtimestamp(t, timezone.utc).strftime("%H:%M") for t in rates["time"]]
    ['10:00', '11:00', '12:00']
    >>> rates.dtype.names
    ('time', 'open', 'high', 'low', 'close', 'tick_volume', 'spread', 'real_volume')
    >>> orbisyn.copy_rates_from("EURUSD", Timeframe.H1, noon, 3.0), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "count"'))
    >>> orbisyn.copy_rates_from("EURUSD", Timeframe.H1, True, 3), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from"'))
    >>> orbisyn.copy_rates_from("EURUSD", Timeframe.H1, noon.date(), 3), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from": a date names no instant, give a datetime'))
    >>> orbisyn.copy_rates_from("EURUSD", 7, noon, 3), orbisyn.last_error()    # no such timeframe
    (None, (-2, 'Terminal: Invalid params'))
    >>> orbisyn.copy_rates_from("EURUSD", Timeframe.H1, noon, -3), orbisyn.last_error()
    (None, (-2, 'Terminal: Invalid params'))
    >>> orbisyn.copy_rates_from("NOSUCH", Timeframe.H1, noon, 3), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    """
def copy_rates_from_pos(symbol: str, timeframe: _Int, start_pos: _Int, count: _Int) -> _Array | None:
    """Get `count` bars counted back from the current bar, skipping the newest `start_pos`.

    Position 0 is the current (forming) bar, 1 the one before it, and so on into the past; the
    reply holds positions ``start_pos`` to ``start_pos + count - 1``, returned oldest first.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeframe : int
        Bar length: a `orbisyn.codes.Timeframe` (``Timeframe.M1`` is 1, ``Timeframe.H1``
        16385, ``Timeframe.D1`` 16408).
    start_pos : int
        Position of the newest bar returned: 0 is the current bar (0 to ``2**31 - 1``).
    count : int
        Number of bars (0 to ``2**31 - 1``); fewer when the history is shorter, at most
        ``terminal_info().maxbars``.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of bars, oldest first, with the fields ``time``
        (int64, open time in seconds since 1970-01-01 UTC), ``open``, ``high``, ``low``,
        ``close`` (float64), ``tick_volume`` (uint64, number of ticks), ``spread`` (int32,
        points) and ``real_volume`` (uint64, traded volume; 0 where the symbol has none).
        Empty (length 0) when no bar matches. `orbisyn.frames.rates` makes a DataFrame of it.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "count"' and the like, naming the argument: a symbol that
      is not a str or too long; a `timeframe`, `start_pos` or `count` that is not an integer
      (an int or anything with ``__index__``: ``3.0`` is none) or does not fit 32 bits. A
      call of another shape: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-2`` "Terminal: Invalid params": the Terminal refused a value: an unknown timeframe,
      a negative `start_pos` or `count`. A count above ``terminal_info().maxbars`` gives that
      many bars at most.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    The current bar (position 0) is still forming: its close, high, low and volumes change
    until the bar's time is over. Use ``start_pos=1`` for finished bars only.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn.codes import Timeframe
    >>> rates = orbisyn.copy_rates_from_pos("BTCUSD", Timeframe.M1, 1, 100)
    >>> len(rates), bool((rates["time"][1:] - rates["time"][:-1] == 60).all())
    (100, True)
    >>> orbisyn.copy_rates_from_pos("BTCUSD", Timeframe.M1, 0, 2**31), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "count"'))
    >>> orbisyn.copy_rates_from_pos("BTCUSD", Timeframe.M1, -1, 10), orbisyn.last_error()
    (None, (-2, 'Terminal: Invalid params'))
    >>> orbisyn.copy_rates_from_pos("NOSUCH", Timeframe.M1, 0, 10), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    """
def copy_rates_range(symbol: str, timeframe: _Int, date_from: _Time, date_to: _Time) -> _Array | None:
    """Get the bars that open between `date_from` and `date_to`, both ends included.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeframe : int
        Bar length: a `orbisyn.codes.Timeframe` (``Timeframe.M1`` is 1, ``Timeframe.H1``
        16385, ``Timeframe.D1`` 16408).
    date_from : datetime, int or float
        Earliest open time. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        Latest open time, included. Same rule as `date_from`.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of bars, oldest first, with the fields ``time``
        (int64, open time in seconds since 1970-01-01 UTC), ``open``, ``high``, ``low``,
        ``close`` (float64), ``tick_volume`` (uint64, number of ticks), ``spread`` (int32,
        points) and ``real_volume`` (uint64, traded volume; 0 where the symbol has none).
        Empty (length 0) when no bar matches. `orbisyn.frames.rates` makes a DataFrame of it.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "timeframe"' and the like, naming the argument: a symbol that
      is not a str or too long; a `timeframe` that is not an integer (an int or anything with
      ``__index__``: ``3.0`` is none) or does not fit 32 bits; a `date_from` or `date_to` that is no time
      (a bool is none); 'Invalid arguments: "date_from": a date names no instant, give a
      datetime' for a `datetime.date`. A call of another shape: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-2`` "Terminal: Invalid params": the Terminal refused a value: an unknown timeframe.
    - ``-3`` "Terminal: Out of memory": more bars in the range than the Terminal gives in one
      reply (``terminal_info().maxbars``).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    The range is closed: a bar that opens exactly at `date_to` is in it, so 10:00 to 12:00 of
    H1 bars is three bars. A bar that opens before `date_from` is not, even when it is still
    open at `date_from`. `date_to` earlier than `date_from` gives an empty array.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn.codes import Timeframe
    >>> day = datetime(2026, 12, 2, tzinfo=timezone.utc)
    >>> rates = orbisyn.copy_rates_range("EURUSD", Timeframe.H1, day.replace(hour=10), day.replace(hour=12))
    >>> len(rates)
    3
    >>> len(orbisyn.copy_rates_range("EURUSD", Timeframe.M1, day.replace(hour=10), day.replace(hour=10, minute=59)))
    60
    >>> orbisyn.copy_rates_range("EURUSD", Timeframe.H1, day.replace(hour=12), day.replace(hour=10))
    array([], ...)
    >>> orbisyn.copy_rates_range("EURUSD", Timeframe.H1, day, "tomorrow"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_to"'))
    >>> orbisyn.copy_rates_range("EURUSD", Timeframe.H1, day.date(), day), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from": a date names no instant, give a datetime'))
    >>> orbisyn.copy_rates_range("EURUSD", 7, day, day), orbisyn.last_error()
    (None, (-2, 'Terminal: Invalid params'))
    >>> orbisyn.copy_rates_range("NOSUCH", Timeframe.H1, day, day), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    >>> orbisyn.copy_rates_range("EURUSD", 1.0, day, day), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "timeframe"'))
    """
def copy_ticks_from(symbol: str, date_from: _Time, count: _Int, flags: _Int) -> _Array | None:
    """Get up to `count` ticks from `date_from` on, forward in time.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    date_from : datetime, int or float
        Time of the first tick that may be returned, in whole seconds: the tick at or after
        it. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
        Milliseconds are cut off before the request (``time_msc`` of a tick has them).
    count : int
        Most ticks returned, counted forward from `date_from` (0 to ``2**31 - 1``).
    flags : int
        Which ticks: a `orbisyn.codes.CopyTicks` (``ALL`` -1 every tick; ``INFO`` 1 ticks
        that changed bid or ask; ``TRADE`` 2 ticks of deals, which symbols without exchange
        deals do not have).

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of ticks, oldest first, with the fields ``time``
        (int64, seconds since 1970-01-01 UTC), ``bid``, ``ask``, ``last`` (float64),
        ``volume`` (uint64, lots), ``time_msc`` (int64, milliseconds since 1970-01-01 UTC),
        ``flags`` (uint32, bits of `orbisyn.codes.TickFlag`) and ``volume_real`` (float64).
        Empty (length 0) when no tick matches. `orbisyn.frames.ticks` makes a DataFrame of it.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "count"' and the like, naming the argument: a symbol that
      is not a str or too long; a `count` or `flags` that is not an integer (an int or anything with
      ``__index__``) or does not fit 32 bits; a `date_from` that is no time (a bool is none);
      'Invalid arguments: "date_from": a date names no instant, give a datetime' for a
      `datetime.date`. A call of another shape: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-2`` "Terminal: Invalid params": a negative count.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    Unlike `copy_rates_from`, which counts back from its date, this counts forward: the first
    tick returned is the first at or after `date_from`. To go on from the last tick you have,
    call again from that tick's ``time`` and drop the ticks you already have (several ticks
    can share a second, and a millisecond).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn.codes import CopyTicks
    >>> start = datetime(2026, 12, 2, 12, tzinfo=timezone.utc)
    >>> ticks = orbisyn.copy_ticks_from("EURUSD", start, 10, CopyTicks.ALL)
    >>> len(ticks), bool(ticks["time_msc"][0] >= 1796212800000)
    (10, True)
    >>> ticks.dtype.names
    ('time', 'bid', 'ask', 'last', 'volume', 'time_msc', 'flags', 'volume_real')
    >>> orbisyn.copy_ticks_from("EURUSD", start, 10.0, CopyTicks.ALL), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "count"'))
    >>> orbisyn.copy_ticks_from("EURUSD", start.date(), 10, CopyTicks.ALL), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from": a date names no instant, give a datetime'))
    >>> orbisyn.copy_ticks_from("EURUSD", start, -1, CopyTicks.ALL), orbisyn.last_error()
    (None, (-2, 'Terminal: Invalid params'))
    >>> orbisyn.copy_ticks_from("NOSUCH", start, 10, CopyTicks.ALL), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    """
def copy_ticks_range(symbol: str, date_from: _Time, date_to: _Time, flags: _Int) -> _Array | None:
    """Get the ticks from `date_from` to `date_to`, both ends included.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    date_from : datetime, int or float
        Earliest tick time, in whole seconds. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        Latest tick time, in whole seconds, included: a tick at exactly ``date_to`` (its
        millisecond 0) is in the range, one 1 ms later is not. Same rule as `date_from`.
    flags : int
        Which ticks: a `orbisyn.codes.CopyTicks` (``ALL`` -1 every tick; ``INFO`` 1 ticks
        that changed bid or ask; ``TRADE`` 2 ticks of deals, which symbols without exchange
        deals do not have).

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of ticks, oldest first, with the fields ``time``
        (int64, seconds since 1970-01-01 UTC), ``bid``, ``ask``, ``last`` (float64),
        ``volume`` (uint64, lots), ``time_msc`` (int64, milliseconds since 1970-01-01 UTC),
        ``flags`` (uint32, bits of `orbisyn.codes.TickFlag`) and ``volume_real`` (float64).
        Empty (length 0) when no tick matches. `orbisyn.frames.ticks` makes a DataFrame of it.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "flags"' and the like, naming the argument: a symbol that
      is not a str or too long; a `flags` that is not an integer (an int or anything with
      ``__index__``) or does not fit 32 bits; a `date_from` or `date_to` that is no time (a
      bool is none); 'Invalid arguments: "date_from": a date names no instant, give a
      datetime' for a `datetime.date`. A call of another shape: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-3`` "Terminal: Out of memory": more ticks in the range than the Terminal gives in
      one reply.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    Both times are cut to whole seconds and sent as milliseconds, so the range is
    ``[date_from * 1000, date_to * 1000]`` in ``time_msc``: to include the whole last second,
    pass one second more and drop the ticks past it. A range in the future ends at the
    current tick.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn.codes import CopyTicks
    >>> noon = datetime(2026, 12, 2, 12, tzinfo=timezone.utc)
    >>> ticks = orbisyn.copy_ticks_range("EURUSD", noon, noon.replace(minute=5), CopyTicks.ALL)
    >>> bool(ticks["time_msc"].min() >= 1796212800000 and ticks["time_msc"].max() <= 1796213100000)
    True
    >>> orbisyn.copy_ticks_range("EURUSD", noon, noon, "all"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "flags"'))
    >>> orbisyn.copy_ticks_range("EURUSD", noon.date(), noon, CopyTicks.ALL), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from": a date names no instant, give a datetime'))
    >>> orbisyn.copy_ticks_range("NOSUCH", noon, noon, CopyTicks.ALL), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    """

def positions_total() -> int | None:
    """Return the number of open positions of the account.

    Returns
    -------
    int
        Number of open positions (0 or more).

    Failure
    -------
    Returns None. `last_error` then gives the Terminal's negative status, or:

    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.positions_total() == len(orbisyn.positions_get())
    True
    >>> orbisyn.positions_total(1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: takes none, 1 given'))
    """
@overload
def positions_get() -> tuple[TradePosition, ...] | None:
    """Return the open positions, all or those of a symbol, a ticket or a group mask.

    One keyword selects: `ticket`, `symbol` or `group`. Two or more together are refused,
    since one would drop the other. Without any, all open positions are returned.

    Parameters
    ----------
    symbol : str, optional
        Only the positions of this symbol (at most 29 UTF-16 code units; the Terminal selects).
    ticket : int, optional
        Only the position with this ticket (0 to ``2**64 - 1``).
    group : str, optional
        Only the positions whose symbol passes this group mask list (at most 1997 UTF-16 code
        units; see Notes).

    Returns
    -------
    tuple of TradePosition
        In the Terminal's order (oldest first); empty when there are none, when no
        position has that ticket, and for a symbol the Terminal does not know.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` "Unnamed arguments not allowed": an argument given by position (they are keyword
      only); 'Invalid arguments: "symbol" and "group" cannot be combined': two selections
      together (the message names the pair); 'Invalid "ticket" argument': not an integer in
      range, and likewise for `symbol` and `group` (not a str, too long). An unknown keyword:
      see the guide's Errors page.
    - the Terminal's negative status.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    A group mask list is comma-separated masks with ``*`` for any run of characters; a
    mask that starts with ``!`` excludes the names it matches. A name passes when some mask
    without ``!`` matches it and no mask with ``!`` does, whatever their order:
    ``"EUR*,!*JPY"`` passes EURUSD and rejects EURJPY; ``"!*JPY"`` alone passes nothing (add
    ``"*"``). Matching is case-sensitive, ``?`` is an ordinary character, spaces around masks
    are ignored, and the name position never moves back (``"*AA"`` does not match ``"AAA"``).
    The module applies the mask to the symbol of each record after fetching them all.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn.codes import OrderType, TradeAction, TradeRetcode
    >>> buy = orbisyn.order_send(action=TradeAction.DEAL, symbol="BTCUSD", volume=0.01, type=OrderType.BUY)
    >>> buy.retcode == TradeRetcode.DONE
    True
    >>> mine = orbisyn.positions_get(ticket=buy.order)
    >>> mine[0].symbol, mine[0].volume, mine[0].type == OrderType.BUY
    ('BTCUSD', 0.01, True)
    >>> buy.order in [p.ticket for p in orbisyn.positions_get(group="BTC*,ETH*")]
    True
    >>> close = orbisyn.order_send(action=TradeAction.DEAL, symbol="BTCUSD", volume=0.01,
    ...                            type=OrderType.SELL, position=buy.order)
    >>> close.retcode == TradeRetcode.DONE, orbisyn.positions_get(ticket=buy.order)
    (True, ())
    >>> orbisyn.positions_get(symbol="BTCUSD", group="*USD*"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol" and "group" cannot be combined'))
    >>> orbisyn.positions_get("BTCUSD"), orbisyn.last_error()
    (None, (-2, 'Unnamed arguments not allowed'))
    >>> orbisyn.positions_get(ticket=-1), orbisyn.last_error()
    (None, (-2, 'Invalid "ticket" argument'))
    >>> orbisyn.positions_get(symbol="NOSUCH")
    ()
    """
@overload
def positions_get(*, symbol: str) -> tuple[TradePosition, ...] | None: ...
@overload
def positions_get(*, ticket: _Int) -> tuple[TradePosition, ...] | None: ...
@overload
def positions_get(*, group: str) -> tuple[TradePosition, ...] | None: ...
def orders_total() -> int | None:
    """Return the number of active (pending) orders of the account.

    Returns
    -------
    int
        Number of active orders (0 or more).

    Failure
    -------
    Returns None. `last_error` then gives the Terminal's negative status, or:

    - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> orbisyn.orders_total() == len(orbisyn.orders_get())
    True
    >>> orbisyn.orders_total(1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: takes none, 1 given'))
    """
@overload
def orders_get() -> tuple[TradeOrder, ...] | None:
    """Return the active (pending) orders, all or those of a symbol, a ticket or a group mask.

    One keyword selects: `ticket`, `symbol` or `group`. Two or more together are refused,
    since one would drop the other. Without any, all active orders are returned.

    Parameters
    ----------
    symbol : str, optional
        Only the orders of this symbol (at most 29 UTF-16 code units; the Terminal selects).
    ticket : int, optional
        Only the order with this ticket (0 to ``2**64 - 1``).
    group : str, optional
        Only the orders whose symbol passes this group mask list (at most 1997 UTF-16 code
        units; see Notes).

    Returns
    -------
    tuple of TradeOrder
        In the Terminal's order; empty when there are none, when no active order has that
        ticket, and for a symbol the Terminal does not know. Filled and cancelled orders are in `history_orders_get`.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` "Unnamed arguments not allowed": an argument given by position (they are keyword
      only); 'Invalid arguments: "symbol" and "group" cannot be combined': two selections
      together (the message names the pair); 'Invalid "ticket" argument': not an integer in
      range, and likewise for `symbol` and `group` (not a str, too long). An unknown keyword:
      see the guide's Errors page.
    - the Terminal's negative status.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    A group mask list is comma-separated masks with ``*`` for any run of characters; a
    mask that starts with ``!`` excludes the names it matches. A name passes when some mask
    without ``!`` matches it and no mask with ``!`` does, whatever their order:
    ``"EUR*,!*JPY"`` passes EURUSD and rejects EURJPY; ``"!*JPY"`` alone passes nothing (add
    ``"*"``). Matching is case-sensitive, ``?`` is an ordinary character, spaces around masks
    are ignored, and the name position never moves back (``"*AA"`` does not match ``"AAA"``).
    The module applies the mask to the symbol of each record after fetching them all.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn.codes import OrderType, TradeAction, TradeRetcode
    >>> ask = orbisyn.symbol_info_tick("BTCUSD").ask
    >>> placed = orbisyn.order_send(action=TradeAction.PENDING, symbol="BTCUSD", volume=0.01,
    ...                             type=OrderType.BUY_LIMIT, price=round(ask * 0.5, 2))
    >>> placed.retcode == TradeRetcode.PLACED
    True
    >>> [o.type == OrderType.BUY_LIMIT for o in orbisyn.orders_get(ticket=placed.order)]
    [True]
    >>> removed = orbisyn.order_send(action=TradeAction.REMOVE, order=placed.order)
    >>> removed.retcode == TradeRetcode.DONE, orbisyn.orders_get(ticket=placed.order)
    (True, ())
    >>> orbisyn.orders_get(symbol="BTCUSD", group="BTC*"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol" and "group" cannot be combined'))
    >>> orbisyn.orders_get("BTCUSD"), orbisyn.last_error()
    (None, (-2, 'Unnamed arguments not allowed'))
    >>> orbisyn.orders_get(ticket="1"), orbisyn.last_error()
    (None, (-2, 'Invalid "ticket" argument'))
    """
@overload
def orders_get(*, symbol: str) -> tuple[TradeOrder, ...] | None: ...
@overload
def orders_get(*, ticket: _Int) -> tuple[TradeOrder, ...] | None: ...
@overload
def orders_get(*, group: str) -> tuple[TradeOrder, ...] | None: ...
def history_orders_total(date_from: _Time, date_to: _Time) -> int | None:
    """Return the number of orders in the history between two times.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.

    Returns
    -------
    int
        Number of history orders (filled, cancelled, expired, ...) whose setup time lies in the
        range, both ends included.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "date_from"' (or `date_to`): a time that is no time (a bool is
      none); 'Invalid arguments: "date_to" missing': one time alone. A call of another shape:
      see the guide's Errors page.
    - the Terminal's negative status.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> now = datetime.now(timezone.utc)
    >>> orbisyn.history_orders_total(0, now) == len(orbisyn.history_orders_get(0, now))
    True
    >>> orbisyn.history_orders_total(True, 0), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from"'))
    >>> orbisyn.history_orders_total(0), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_to" missing'))
    """
@overload
def history_orders_get(date_from: _Time, date_to: _Time, *, group: str = ...) -> tuple[TradeOrder, ...] | None:
    """Return orders from the history: of a time range, of a position, or one by its ticket.

    Three ways to call it: ``history_orders_get(date_from, date_to)`` (optionally with
    ``group=``), ``history_orders_get(position=ID)`` or ``history_orders_get(ticket=T)``.
    One way at a time: a time with `ticket` or `position`, `ticket` with `position`, and
    `group` without the two times are refused, since one selection would drop the other.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.
    group : str, optional
        With a range only: keep the orders whose symbol passes this group mask list (at most
        1997 UTF-16 code units; see `positions_get`).
    position : int, optional
        Identifier of a position (``TradePosition.identifier``, ``TradeDeal.position_id``):
        the orders that opened, changed or closed it (0 to ``2**64 - 1``).
    ticket : int, optional
        Ticket of one order (0 to ``2**64 - 1``).

    Returns
    -------
    tuple of TradeOrder
        In the Terminal's order (oldest first). Empty when none matches, and when no order has
        that `ticket`.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "date_from" and "ticket" cannot be combined': a time (by
      position or by name) with `ticket` or `position`. The message names the pair, as
      'Invalid arguments: "position" and "ticket" cannot be combined' and 'Invalid arguments:
      "group" and "position" cannot be combined' do.
    - ``-2`` 'Invalid arguments: "date_to" missing': one time alone; "Invalid arguments":
      neither times nor `ticket` or `position` (`group` alone).
    - ``-2`` 'Invalid arguments: "date_from"': a time that is no time ('Invalid "date_from"
      argument' when given by name); 'Invalid "ticket" argument': not an integer in range, and
      likewise for `position` and `group`. An unknown keyword: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal has no orders of that `position` (the
      simulated Terminal answers with an empty tuple instead).
    - the Terminal's other negative statuses.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    The range selects by the order's setup time, both ends included. Deals made by the orders
    are in `history_deals_get`. The module applies `group` to the whole range after fetching
    it, with the group mask rules of `positions_get`.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn.codes import OrderState, OrderType, TradeAction
    >>> buy = orbisyn.order_send(action=TradeAction.DEAL, symbol="BTCUSD", volume=0.01, type=OrderType.BUY)
    >>> done = orbisyn.history_orders_get(ticket=buy.order)
    >>> OrderState(done[0].state).name
    'FILLED'
    >>> sell = orbisyn.order_send(action=TradeAction.DEAL, symbol="BTCUSD", volume=0.01,
    ...                           type=OrderType.SELL, position=buy.order)
    >>> [o.ticket for o in orbisyn.history_orders_get(position=buy.order)] == [buy.order, sell.order]
    True
    >>> now = datetime.now(timezone.utc)
    >>> orbisyn.history_orders_get(0, now, ticket=buy.order), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from" and "ticket" cannot be combined'))
    >>> orbisyn.history_orders_get(ticket=buy.order, position=buy.order), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "position" and "ticket" cannot be combined'))
    >>> orbisyn.history_orders_get(position=buy.order, group="*"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "group" and "position" cannot be combined'))
    >>> orbisyn.history_orders_get(0), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_to" missing'))
    >>> orbisyn.history_orders_get(group="*"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments'))
    >>> orbisyn.history_orders_get("2024-01-01", now), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from"'))
    >>> orbisyn.history_orders_get(ticket=-1), orbisyn.last_error()
    (None, (-2, 'Invalid "ticket" argument'))
    >>> orbisyn.history_orders_get(date_from="2024-01-01", date_to=now), orbisyn.last_error()
    (None, (-2, 'Invalid "date_from" argument'))
    """
@overload
def history_orders_get(*, ticket: _Int) -> tuple[TradeOrder, ...] | None: ...
@overload
def history_orders_get(*, position: _Int) -> tuple[TradeOrder, ...] | None: ...
def history_deals_total(date_from: _Time, date_to: _Time) -> int | None:
    """Return the number of deals in the history between two times.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.

    Returns
    -------
    int
        Number of deals (balance operations included) whose time lies in the range, both ends
        included.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "date_from"' (or `date_to`): a time that is no time (a bool is
      none); 'Invalid arguments: "date_to" missing': one time alone. A call of another shape:
      see the guide's Errors page.
    - the Terminal's negative status.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> orbisyn.history_deals_total(0, datetime.now(timezone.utc)) >= 1   # the deposit at least
    True
    >>> orbisyn.history_deals_total(True, 0), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from"'))
    >>> orbisyn.history_deals_total(0), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_to" missing'))
    """
@overload
def history_deals_get(date_from: _Time, date_to: _Time, *, group: str = ...) -> tuple[TradeDeal, ...] | None:
    """Return deals from the history: of a time range, of a position, or one by its ticket.

    Three ways to call it: ``history_deals_get(date_from, date_to)`` (optionally with
    ``group=``), ``history_deals_get(position=ID)`` or ``history_deals_get(ticket=T)``.
    One way at a time: a time with `ticket` or `position`, `ticket` with `position`, and
    `group` without the two times are refused, since one selection would drop the other.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.
    group : str, optional
        With a range only: keep the deals whose symbol passes this group mask list (at most
        1997 UTF-16 code units; see `positions_get`). Balance deals have an empty symbol, which
        only ``"*"`` passes.
    position : int, optional
        Identifier of a position: its deals in and out (0 to ``2**64 - 1``).
    ticket : int, optional
        Ticket of one deal (0 to ``2**64 - 1``).

    Returns
    -------
    tuple of TradeDeal
        In the Terminal's order (oldest first). Empty when none matches, and when no deal has
        that `ticket`.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "date_from" and "ticket" cannot be combined': a time (by
      position or by name) with `ticket` or `position`. The message names the pair, as
      'Invalid arguments: "position" and "ticket" cannot be combined' and 'Invalid arguments:
      "group" and "position" cannot be combined' do.
    - ``-2`` 'Invalid arguments: "date_to" missing': one time alone; "Invalid arguments":
      neither times nor `ticket` or `position` (`group` alone).
    - ``-2`` 'Invalid arguments: "date_from"': a time that is no time ('Invalid "date_from"
      argument' when given by name); 'Invalid "ticket" argument': not an integer in range, and
      likewise for `position` and `group`. An unknown keyword: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal has no deals of that `position` (the
      simulated Terminal answers with an empty tuple instead).
    - the Terminal's other negative statuses.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    The range selects by deal time, both ends included. The account's balance is the sum of
    ``profit + commission + swap + fee`` over all its deals, the deposit included.
    `orbisyn.frames.records` turns the tuple into a DataFrame.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn.codes import DealEntry, DealType, OrderType, TradeAction
    >>> buy = orbisyn.order_send(action=TradeAction.DEAL, symbol="BTCUSD", volume=0.01, type=OrderType.BUY)
    >>> sell = orbisyn.order_send(action=TradeAction.DEAL, symbol="BTCUSD", volume=0.01,
    ...                           type=OrderType.SELL, position=buy.order)
    >>> [DealEntry(d.entry).name for d in orbisyn.history_deals_get(position=buy.order)]
    ['IN', 'OUT']
    >>> deals = orbisyn.history_deals_get(0, datetime.now(timezone.utc))
    >>> DealType(deals[0].type).name, deals[0].comment
    ('BALANCE', 'Deposit')
    >>> balance = sum(d.profit + d.commission + d.swap + d.fee for d in deals)
    >>> round(balance, 2) == orbisyn.account_info().balance
    True
    >>> now = datetime.now(timezone.utc)
    >>> orbisyn.history_deals_get(0, now, ticket=buy.order), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from" and "ticket" cannot be combined'))
    >>> orbisyn.history_deals_get(ticket=buy.order, position=buy.order), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "position" and "ticket" cannot be combined'))
    >>> orbisyn.history_deals_get(position=buy.order, group="*"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "group" and "position" cannot be combined'))
    >>> orbisyn.history_deals_get(0), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_to" missing'))
    >>> orbisyn.history_deals_get(group="*"), orbisyn.last_error()
    (None, (-2, 'Invalid arguments'))
    >>> orbisyn.history_deals_get("2024-01-01", now), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "date_from"'))
    >>> orbisyn.history_deals_get(ticket=-1), orbisyn.last_error()
    (None, (-2, 'Invalid "ticket" argument'))
    >>> orbisyn.history_deals_get(date_from="2024-01-01", date_to=now), orbisyn.last_error()
    (None, (-2, 'Invalid "date_from" argument'))
    """
@overload
def history_deals_get(*, ticket: _Int) -> tuple[TradeDeal, ...] | None: ...
@overload
def history_deals_get(*, position: _Int) -> tuple[TradeDeal, ...] | None: ...

@overload
def order_check(request: TradeRequestDict, /) -> OrderCheckResult | None:
    """Check whether a trade request would pass, and what it would do to the account.

    Nothing is traded: the Terminal checks the request (symbol, volume, prices, stops, money)
    and computes the balance, equity and margin after it.

    Parameters
    ----------
    request : dict
        The trade request, keyed by the fields of `TradeRequest` (``orbisyn.TradeRequestDict``
        names the keys for type checkers and editors). Keys left out are sent as 0, 0.0 or an
        empty string:

        - ``action`` (int): a `orbisyn.codes.TradeAction`: ``DEAL`` 1 buy or sell at the
          market, ``PENDING`` 5 place a pending order, ``SLTP`` 6 change a position's stops,
          ``MODIFY`` 7 change a pending order, ``REMOVE`` 8 remove it, ``CLOSE_BY`` 10 close a
          position by an opposite one.
        - ``symbol`` (str, at most 29 UTF-16 code units), ``volume`` (lots).
        - ``type`` (int): a `orbisyn.codes.OrderType` (``BUY`` 0, ``SELL`` 1, ``BUY_LIMIT``
          2, ...).
        - ``price``, ``stoplimit``, ``sl``, ``tp`` (prices; 0.0 means none),
          ``deviation`` (points of slippage accepted).
        - ``type_filling`` (`orbisyn.codes.OrderFilling`), ``type_time``
          (`orbisyn.codes.OrderTime`), ``expiration`` (int seconds since 1970-01-01 UTC).
        - ``position`` (ticket of the position to close or change), ``position_by`` (the
          opposite position of a close-by), ``order`` (the pending order to change or remove),
          ``magic`` (your own tag), ``comment`` (at most 29 UTF-16 code units).

        Prices and ``volume`` take any real number (float, int, numpy scalars); the integer
        keys anything with ``__index__`` (int, numpy integers, the enums of `orbisyn.codes`)
        within the field's range (0 to ``2**32 - 1`` or ``2**64 - 1``; ``expiration`` is signed).
    fields : keyword arguments
        The same request given as keyword arguments (``**fields``) instead of a dict:
        ``action=1, symbol="EURUSD", ...``; never both.

    Returns
    -------
    OrderCheckResult
        ``retcode`` 0 when the request would pass, otherwise a `orbisyn.codes.TradeRetcode`
        that says why not (``NO_MONEY`` 10019, ``INVALID_VOLUME`` 10014, ...); the account's
        ``balance``, ``equity``, ``profit``, ``margin``, ``margin_free`` and ``margin_level``
        after it; ``request``, the `TradeRequest` as checked.

    Failure
    -------
    Returns None. A request the trade server would refuse is not a failure: it returns a
    result with that ``retcode``. `last_error` gives:

    - ``-2``, and nothing is sent: 'Invalid "volume" argument' naming the first bad key (a
      value of the wrong type, out of range, a text too long); 'Unknown "stoploss" key, did you mean
      "sl"?' for a key that names no field; "Invalid arguments": the request is not a dict;
      "Invalid number of arguments": no request, or more than one; "Unnamed arguments not
      allowed": a dict and keywords together.
    - the Terminal's negative status.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn.codes import OrderType, TradeAction, TradeRetcode
    >>> check = orbisyn.order_check({"action": TradeAction.DEAL, "symbol": "BTCUSD",
    ...                              "volume": 0.01, "type": OrderType.BUY})
    >>> check.retcode, check.margin > 0, check.request.volume
    (0, True, 0.01)
    >>> odd = orbisyn.order_check(action=TradeAction.DEAL, symbol="BTCUSD", volume=0.015,
    ...                           type=OrderType.BUY)   # not a multiple of volume_step
    >>> TradeRetcode(odd.retcode).name
    'INVALID_VOLUME'
    >>> orbisyn.order_check({"action": TradeAction.DEAL, "symbol": "BTCUSD", "volume": "0.01"}), orbisyn.last_error()
    (None, (-2, 'Invalid "volume" argument'))
    >>> orbisyn.order_check({"action": TradeAction.DEAL, "symbol": "BTCUSD", "stoploss": 1.0}), orbisyn.last_error()
    (None, (-2, 'Unknown "stoploss" key, did you mean "sl"?'))
    >>> orbisyn.order_check([("action", TradeAction.DEAL)]), orbisyn.last_error()
    (None, (-2, 'Invalid arguments'))
    >>> orbisyn.order_check(), orbisyn.last_error()
    (None, (-2, 'Invalid number of arguments'))
    >>> orbisyn.order_check({"action": TradeAction.DEAL}, symbol="BTCUSD"), orbisyn.last_error()
    (None, (-2, 'Unnamed arguments not allowed'))
    """
@overload
def order_check(**request: Unpack[TradeRequestDict]) -> OrderCheckResult | None: ...
@overload
def order_send(request: TradeRequestDict, /) -> OrderSendResult | None:
    """Send a trade request to the trade server: open, close or change a position or an order.

    Parameters
    ----------
    request : dict
        The trade request, keyed by the fields of `TradeRequest` (``orbisyn.TradeRequestDict``
        names the keys for type checkers and editors). Keys left out are sent as 0, 0.0 or an
        empty string:

        - ``action`` (int): a `orbisyn.codes.TradeAction`: ``DEAL`` 1 buy or sell at the
          market, ``PENDING`` 5 place a pending order, ``SLTP`` 6 change a position's stops,
          ``MODIFY`` 7 change a pending order, ``REMOVE`` 8 remove it, ``CLOSE_BY`` 10 close a
          position by an opposite one.
        - ``symbol`` (str, at most 29 UTF-16 code units), ``volume`` (lots).
        - ``type`` (int): a `orbisyn.codes.OrderType` (``BUY`` 0, ``SELL`` 1, ``BUY_LIMIT``
          2, ...).
        - ``price``, ``stoplimit``, ``sl``, ``tp`` (prices; 0.0 means none),
          ``deviation`` (points of slippage accepted).
        - ``type_filling`` (`orbisyn.codes.OrderFilling`), ``type_time``
          (`orbisyn.codes.OrderTime`), ``expiration`` (int seconds since 1970-01-01 UTC).
        - ``position`` (ticket of the position to close or change), ``position_by`` (the
          opposite position of a close-by), ``order`` (the pending order to change or remove),
          ``magic`` (your own tag), ``comment`` (at most 29 UTF-16 code units).

        Prices and ``volume`` take any real number (float, int, numpy scalars); the integer
        keys anything with ``__index__`` (int, numpy integers, the enums of `orbisyn.codes`)
        within the field's range (0 to ``2**32 - 1`` or ``2**64 - 1``; ``expiration`` is signed).
    fields : keyword arguments
        The same request given as keyword arguments (``**fields``) instead of a dict:
        ``action=1, symbol="EURUSD", ...``; never both.

    Returns
    -------
    OrderSendResult
        The trade server's answer: ``retcode`` (a `orbisyn.codes.TradeRetcode`: ``DONE``
        10009 for a deal made, ``PLACED`` 10008 for a pending order placed, or why it was
        refused), the ``deal`` and ``order`` tickets, the ``volume`` and ``price`` dealt, the
        server's ``comment``; ``request``, the `TradeRequest` as sent.

    Failure
    -------
    Returns None when the request did not reach the trade server; then nothing was traded.
    A request the server refused is not a failure: the result's ``retcode`` says why (check
    it every time). `last_error` gives:

    - ``-2``, and nothing is sent: 'Invalid "volume" argument' naming the first bad key (a
      value of the wrong type, out of range, a text too long); 'Unknown "stoploss" key, did you mean
      "sl"?' for a key that names no field; "Invalid arguments": the request is not a dict;
      "Invalid number of arguments": no request, or more than one; "Unnamed arguments not
      allowed": a dict and keywords together.
    - ``-8`` "Auto-Trading using Python API disabled in Terminal".
    - the Terminal's other negative statuses.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Notes
    -----
    - To close a position, send the opposite deal with ``position`` set to its ticket: a buy
      is closed by ``type=SELL``, at most its volume (less closes a part). Without
      ``position`` a hedging account opens a second position instead.
    - For a market deal ``price`` may stay 0.0: the current price is used. A deal opened on a
      hedging account gets a position whose ticket is the result's ``order``.
    - A call that fails with a link code (-10002, -10005) after the request was sent leaves
      it open whether the trade was made: look at `positions_get` and `history_deals_get`.
    - Forex and index symbols of the simulated Terminal trade from Sunday 22:00 to Friday
      22:00 UTC; out of those hours ``retcode`` is ``MARKET_CLOSED`` (10018).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn.codes import OrderType, TradeAction, TradeRetcode
    >>> opened = orbisyn.order_send({"action": TradeAction.DEAL, "symbol": "BTCUSD",
    ...                              "volume": 0.01, "type": OrderType.BUY, "comment": "doc"})
    >>> TradeRetcode(opened.retcode).name, opened.volume, opened.request.comment
    ('DONE', 0.01, 'doc')
    >>> closed = orbisyn.order_send({"action": TradeAction.DEAL, "symbol": "BTCUSD",
    ...                              "volume": 0.01, "type": OrderType.SELL,
    ...                              "position": opened.order})
    >>> TradeRetcode(closed.retcode).name
    'DONE'
    >>> orbisyn.order_send({"action": TradeAction.DEAL, "symbol": "BTCUSD", "volume": "0.01"}), orbisyn.last_error()
    (None, (-2, 'Invalid "volume" argument'))
    >>> orbisyn.order_send({"action": TradeAction.DEAL, "symbol": "BTCUSD", "stoploss": 1.0}), orbisyn.last_error()
    (None, (-2, 'Unknown "stoploss" key, did you mean "sl"?'))
    >>> orbisyn.order_send([("action", TradeAction.DEAL)]), orbisyn.last_error()
    (None, (-2, 'Invalid arguments'))
    >>> orbisyn.order_send(), orbisyn.last_error()
    (None, (-2, 'Invalid number of arguments'))
    >>> orbisyn.order_send({"action": TradeAction.DEAL}, symbol="BTCUSD"), orbisyn.last_error()
    (None, (-2, 'Unnamed arguments not allowed'))
    """
@overload
def order_send(**request: Unpack[TradeRequestDict]) -> OrderSendResult | None: ...
def order_calc_margin(action: _Int, symbol: str, volume: _Float, price: _Float) -> float | None:
    """Calculate the margin that an order would need, in the account currency.

    Parameters
    ----------
    action : int
        Order type, buy or sell: `orbisyn.codes.OrderType` ``BUY`` (0) or ``SELL`` (1)
        (the name is historical; it is not a `orbisyn.codes.TradeAction`).
    symbol : str
        Symbol name (at most 29 UTF-16 code units).
    volume : float
        Volume in lots; any real number (the Terminal refuses a negative one).
    price : float
        Open price to compute with; any real number.

    Returns
    -------
    float
        Margin in the account currency, for the current account (its leverage and margin
        mode) at current market conditions; 0.0 is a valid answer.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "action"': not an integer (an int or anything with
      ``__index__``) of 32 bits; 'Invalid arguments: "volume"': not a real number (a bool is
      none), and likewise for the prices; 'Invalid arguments: "symbol"': not a str, or too long.
      A call of another shape: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-2`` "Terminal: Invalid params": the Terminal refused a value, such as a negative
      volume.
    - the Terminal's other negative statuses.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn.codes import OrderType
    >>> orbisyn.order_calc_margin(OrderType.BUY, "EURUSD", 1.0, 1.1)  # 100000 EUR at 1.1, 1:100
    1100.0
    >>> orbisyn.order_calc_margin(1.0, "EURUSD", 1.0, 1.1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "action"'))
    >>> orbisyn.order_calc_margin(OrderType.BUY, "EURUSD", True, 1.1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "volume"'))
    >>> orbisyn.order_calc_margin(OrderType.BUY, "NOSUCH", 1.0, 1.1), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    >>> orbisyn.order_calc_margin(OrderType.BUY, "EURUSD", -1.0, 1.1), orbisyn.last_error()
    (None, (-2, 'Terminal: Invalid params'))
    >>> orbisyn.order_calc_margin(OrderType.BUY, 5, 1.0, 1.1), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol"'))
    """
def order_calc_profit(action: _Int, symbol: str, volume: _Float, price_open: _Float, price_close: _Float) -> float | None:
    """Calculate the profit of a trade between two prices, in the account currency.

    Parameters
    ----------
    action : int
        Order type, buy or sell: `orbisyn.codes.OrderType` ``BUY`` (0) or ``SELL`` (1)
        (the name is historical; it is not a `orbisyn.codes.TradeAction`).
    symbol : str
        Symbol name (at most 29 UTF-16 code units).
    volume : float
        Volume in lots; any real number (the Terminal refuses a negative one).
    price_open : float
        Open price; any real number.
    price_close : float
        Close price; any real number.

    Returns
    -------
    float
        Profit in the account currency (negative for a loss), at current conversion rates.

    Failure
    -------
    Returns None. `last_error` then gives:

    - ``-2`` 'Invalid arguments: "action"': not an integer (an int or anything with
      ``__index__``) of 32 bits; 'Invalid arguments: "volume"': not a real number (a bool is
      none), and likewise for the prices; 'Invalid arguments: "symbol"': not a str, or too long.
      A call of another shape: see the guide's Errors page.
    - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
    - ``-2`` "Terminal: Invalid params": the Terminal refused a value, such as a negative
      volume.
    - the Terminal's other negative statuses.
    - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
      broken link, which closes it).
    - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
      read (the link is then closed), or the reply was not for this request.
    - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
      then closed).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn.codes import OrderType
    >>> round(orbisyn.order_calc_profit(OrderType.BUY, "EURUSD", 1.0, 1.1, 1.11), 2)
    1000.0
    >>> round(orbisyn.order_calc_profit(OrderType.SELL, "EURUSD", 0.1, 1.1, 1.11), 2)
    -100.0
    >>> orbisyn.order_calc_profit(OrderType.BUY, 5, 1.0, 1.1, 1.11), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "symbol"'))
    >>> orbisyn.order_calc_profit(OrderType.BUY, "NOSUCH", 1.0, 1.1, 1.11), orbisyn.last_error()
    (None, (-4, 'Terminal: Not found'))
    >>> orbisyn.order_calc_profit(OrderType.BUY, "EURUSD", -1.0, 1.1, 1.11), orbisyn.last_error()
    (None, (-2, 'Terminal: Invalid params'))
    >>> orbisyn.order_calc_profit(1.0, "EURUSD", 1.0, 1.1, 1.11), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "action"'))
    >>> orbisyn.order_calc_profit(OrderType.BUY, "EURUSD", 1.0, 1.1, None), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "price_close"'))
    >>> orbisyn.order_calc_profit(OrderType.BUY, "EURUSD", True, 1.1, 1.11), orbisyn.last_error()
    (None, (-2, 'Invalid arguments: "volume"'))
    """
