"""Terminal and account information commands of the simulated Terminal."""
from __future__ import annotations

import os

from ... import _paths
from .. import protocol as P


class InfoCommands:
    def __init__(self, session):
        self.session = session

    def handlers(self) -> dict:
        return {P.CMD_TERMINAL_INFO: self.cmd_terminal_info, P.CMD_ACCOUNT_INFO: self.cmd_account_info}

    def cmd_terminal_info(self, cmd, p, conn):
        p.end()
        s = self.session.settings
        root = _paths.terminals_root() or ""
        api = bool(s.get("trade_api_allowed", True))
        rec = P.TERMINAL_LAYOUT.pack({
            "build": self.session.build, "connected": self.session.current_state() == P.STATE_READY,
            "dlls_allowed": False, "trade_allowed": api, "tradeapi_disabled": not api,
            "maxbars": self.session.maxbars, "codepage": 0, "ping_last": 800,
            "company": "Orbisyn Simulated Markets", "name": "Orbisyn Terminal (simulated)",
            "language": "English", "path": self.session.install_dir, "data_path": self.session.data_dir,
            "commondata_path": os.path.join(root, "Common"),
        })
        return P.reply(cmd, P.OK, rec)

    def cmd_account_info(self, cmd, p, conn):
        p.end()
        with self.session.lock:
            acc = self.session.account(self.session.login_id) if self.session.login_id is not None else None
            if acc is None:
                return P.reply(cmd, P.E_AUTH)
            figures = self.session.engine.account_figures()
        api = bool(self.session.settings.get("trade_api_allowed", True))
        values = {
            "login": int(acc["login"]), "trade_mode": int(acc.get("trade_mode", 0)),
            "leverage": int(acc.get("leverage", 100)), "limit_orders": int(acc.get("limit_orders", 200)),
            "margin_so_mode": int(acc.get("margin_so_mode", 0)), "trade_allowed": True,
            "trade_expert": api, "margin_mode": int(acc.get("margin_mode", 2)),
            "currency_digits": int(acc.get("currency_digits", 2)), "fifo_close": False,
            "name": acc.get("name", ""), "server": acc.get("server", ""),
            "currency": acc.get("currency", "USD"), "company": acc.get("company", ""),
        }
        values.update({k: float(v) for k, v in figures.items()})
        return P.reply(cmd, P.OK, P.ACCOUNT_LAYOUT.pack(values))
