"""Stand-in: the kit's loggers.

``system_log.error(key, extra={...})``: the message is a short key and ``extra`` the
details, shown after the key. They share the engine's logger class under the kit's own
logger names, so the two can be configured apart.
"""

from kpquant.utils.logger import EngineLogger as KitLogger
from kpquant.utils.logger import setup_root

setup_root("varden")

system_log = KitLogger("varden.system")
