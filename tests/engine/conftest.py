import pytest

from engine_market import FakeMarket, bootstrap

bootstrap()

from orbisyn.simulator.trading import TradingEngine  # noqa: E402
from engine_client import Client  # noqa: E402

NETTING_LOGIN, HEDGING_LOGIN = 5001, 5002


def make_settings(**over):
    accounts = [
        dict(login=HEDGING_LOGIN, password="p", server="Sim", name="Hedger", company="Sim",
             currency="USD", leverage=100, deposit=10000.0, margin_mode=2, margin_so_call=100.0,
             margin_so_so=50.0, otp=False),
        dict(login=NETTING_LOGIN, password="p", server="Sim", name="Netter", company="Sim",
             currency="USD", leverage=100, deposit=10000.0, margin_mode=0, margin_so_call=100.0,
             margin_so_so=50.0, otp=False),
    ]
    settings = dict(trade_api_allowed=True, accounts=accounts)
    settings.update(over)
    return settings


@pytest.fixture
def market():
    return FakeMarket()


@pytest.fixture
def open_engine(tmp_path, market):
    engines = []

    def make(settings=None, login=None, data_dir=None, mk=None):
        eng = TradingEngine(str(data_dir or tmp_path), settings or make_settings(), mk or market)
        if login is not None:
            eng.login(login)
        engines.append(eng)
        return eng

    yield make
    for eng in engines:
        eng.close()


@pytest.fixture
def hedge(open_engine):
    return Client(open_engine())


@pytest.fixture
def net(open_engine):
    return Client(open_engine(login=NETTING_LOGIN))
