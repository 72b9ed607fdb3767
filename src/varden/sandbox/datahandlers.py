"""Default endpoint handlers of the sandbox data service.

Each handler is ``fn(user, **kwargs)`` and returns the value to send back (the service
packs it), or raises ``ServiceError`` for an error status. Market data comes from the
sample store ``varden.mod.stock.data.sample_store``; files live under the service's own
temporary folder, one sub-folder per user.
"""

import os
import posixpath

import pandas as pd

from varden.sandbox import fundquery


def _service_error(status, message):
    # imported late: dataservice imports this module at its own import
    from varden.sandbox.dataservice import ServiceError

    return ServiceError(status, message)


def _store():
    from varden.mod.stock.data import sample_store

    return sample_store


# -- files -----------------------------------------------------------------------------


def _user_file(service, user, file):
    """Absolute path of a user's remote file; refuses paths that leave the user's folder."""
    if not isinstance(file, str) or not file.strip():
        raise _service_error(400, "文件路径不能为空")
    parts = file.replace("\\", "/").split("/")
    if file.startswith(("/", "\\")) or posixpath.isabs(file) or ":" in parts[0] or ".." in parts:
        raise _service_error(400, "文件路径不合法: %s" % file)
    root = os.path.realpath(os.path.join(service.files_root, user))
    path = os.path.realpath(os.path.join(root, *[p for p in parts if p not in ("", ".")]))
    if path == root or not path.startswith(root + os.sep):
        raise _service_error(400, "文件路径不合法: %s" % file)
    return path


def upload_file(service, user, file, data):
    if not isinstance(data, (bytes, bytearray)):
        raise _service_error(400, "data 必须是 bytes")
    path = _user_file(service, user, file)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as handle:
        size = handle.write(data)
    return {"file": file, "size": size}


def download_file(service, user, file):
    path = _user_file(service, user, file)
    if not os.path.isfile(path):
        raise _service_error(404, "文件不存在: %s" % file)
    with open(path, "rb") as handle:
        return handle.read()


# -- usage, push, generic calls -----------------------------------------------------------


def api_usage(service, user):
    counts = dict(sorted(service.usage.get(user, {}).items()))
    return {"api_name": list(counts), "calls": list(counts.values())}


def notify_push(service, user, content, channel="wxpusher", subject=None, email_list=None,
                uids=None, topic_ids=None, group_id=None):
    if not isinstance(content, str) or not content:
        raise _service_error(400, "推送内容不能为空")
    push = {"user": user, "content": content, "channel": channel, "subject": subject,
            "email_list": email_list, "uids": uids, "topic_ids": topic_ids,
            "group_id": group_id}
    service.pushes.append(push)
    return {"status": "ok", "channel": channel, "id": len(service.pushes)}


def all_api(service, user, api_name=None, **kwargs):
    services = {"get_candle_stick": get_candle_stick, "notify_push": notify_push}
    if api_name not in services:
        raise _service_error(400, "不支持的api_name: %r" % (api_name,))
    return services[api_name](service, user, **kwargs)


def arsenal_request(service, user, **kwargs):
    """The sandbox has no arsenal: the call is acknowledged with what was received."""
    return {"status": "unsupported", "received": sorted(kwargs)}


def trade_api(service, user, **kwargs):
    raise _service_error(501, "沙盒不支持交易接口")
