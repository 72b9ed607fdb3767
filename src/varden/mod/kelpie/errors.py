"""Stand-in: the kit's user-facing errors, and the text of an engine error."""

import traceback


class UserError(Exception):
    """An error shown to the user: its kind and the traceback text that explains it."""

    def __init__(self, error_type, traceback_msg):
        super().__init__(error_type, traceback_msg)
        self.error_type = error_type
        self.traceback_msg = traceback_msg

    def __str__(self):
        return f"{self.error_type}\n{self.traceback_msg}"


class ContactServerError(Exception):
    """A platform service answered with an unexpected HTTP status."""

    def __init__(self, code, message=""):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        text = f"server answered with status {self.code}"
        return f"{text}: {self.message}" if self.message else text


def get_error_message(error):
    """The traceback text of an engine error record.

    The record carries the exception (``exc_type``, ``exc_value``) and the frames worth
    showing (``stack_info``, frame summaries). Anything else is shown as its text.
    """
    if not hasattr(error, "exc_value"):
        return str(error)
    lines = ["Traceback (most recent call last):\n"]
    lines += traceback.format_list(error.stack_info)
    lines += traceback.format_exception_only(error.exc_type, error.exc_value)
    return "".join(lines).rstrip("\n")
