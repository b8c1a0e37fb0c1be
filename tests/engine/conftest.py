import pytest

from engine_client import Client
from engine_market import NETTING_LOGIN, FakeMarket, make_settings

from orbisyn.simulator.engine import TradingEngine

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
