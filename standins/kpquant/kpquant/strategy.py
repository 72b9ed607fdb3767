"""Stand-in: loading a strategy file and calling its functions."""

from kpquant.api.api_base import published_apis
from kpquant.utils.logger import user_log


class UserStrategy:
    """A loaded strategy: ``scope`` holds its global names, ``user_context`` its context."""

    def __init__(self, path, user_context):
        self.path = path
        self.user_context = user_context
        with open(path, encoding="utf-8") as source_file:
            code = compile(source_file.read(), path, "exec")
        self.scope = published_apis()
        self.scope.update(__name__="strategy", __file__=path, logger=user_log)
        exec(code, self.scope)

    def init(self):
        init = self.scope.get("init")
        if init:
            init(self.user_context)

    def handle_bar(self, bar_dict):
        handle_bar = self.scope.get("handle_bar")
        if handle_bar:
            handle_bar(self.user_context, bar_dict)
