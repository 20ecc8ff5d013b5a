import pytest

from fenmor_radar import Radar
from radar_helpers import FUNDING_SPEC


@pytest.fixture
def radar():
    return Radar(FUNDING_SPEC)
