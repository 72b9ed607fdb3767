"""Client of the platform's question service: securities screened by a question."""

import datetime

class QueryBay:
    version: str
    def __init__(self, version: str | None = None) -> None: ...
    # Key of the service's result to its codes; the shared empty dict after two failures.
    def question(
        self, question_str: str, start_dt: datetime.date, end_dt: datetime.date
    ) -> dict[str, list[str]]: ...
