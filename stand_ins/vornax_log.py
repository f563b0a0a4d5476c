"""VornaxLog: the logger of the vornax product family.

A thin owner of one ``logging.Logger``.  Without a file it adds no handler of
its own: records go up to the ``vornax`` logger and from there into whatever
logging set-up the application has, and nowhere at all when it has none.
With a file, the records are also appended to that file.
"""

from __future__ import annotations

import logging
import os
import weakref
from typing import Any

__all__ = ["VornaxLog"]

ROOT_LOGGER_NAME = "vornax"
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

# A library must stay silent in an application that configured no logging:
# without a handler anywhere on the way up, the logging module would print
# warnings to stderr through its last-resort handler.
logging.getLogger(ROOT_LOGGER_NAME).addHandler(logging.NullHandler())


class VornaxLog:
    """A logger; ``file`` is False (no file) or the path of a log file."""

    def __init__(self, file: str | os.PathLike[str] | bool = False,
                 name: str = ROOT_LOGGER_NAME, level: int = logging.INFO) -> None:
        if file is True:
            raise TypeError("VornaxLog: file must be False or the path of a log file")
        # A logger of this object's own, outside the logging module's
        # registry: its handlers are not shared with other VornaxLog objects
        # and it does not outlive this one.  Its parent puts it into the
        # application's logging hierarchy all the same.
        self.logger = logging.Logger(name, level)
        self.logger.parent = logging.getLogger(ROOT_LOGGER_NAME)
        self.file: str | None = os.fspath(file) if file else None
        if self.file is not None:
            # delay=True: the file is created by the first record, not by
            # constructing the logger.
            handler = logging.FileHandler(self.file, encoding="utf-8", delay=True)
            handler.setFormatter(logging.Formatter(LOG_FORMAT))
            self.logger.addHandler(handler)
            # The file is closed when this object goes, not at some later
            # collection of the handler.
            weakref.finalize(self, handler.close)

    def debug(self, msg: object, *args: object, **kwargs: Any) -> None:
        self._emit(logging.DEBUG, msg, args, kwargs)

    def info(self, msg: object, *args: object, **kwargs: Any) -> None:
        self._emit(logging.INFO, msg, args, kwargs)

    def warning(self, msg: object, *args: object, **kwargs: Any) -> None:
        self._emit(logging.WARNING, msg, args, kwargs)

    def error(self, msg: object, *args: object, **kwargs: Any) -> None:
        self._emit(logging.ERROR, msg, args, kwargs)

    def exception(self, msg: object, *args: object, **kwargs: Any) -> None:
        kwargs.setdefault("exc_info", True)
        self._emit(logging.ERROR, msg, args, kwargs)

    def critical(self, msg: object, *args: object, **kwargs: Any) -> None:
        self._emit(logging.CRITICAL, msg, args, kwargs)

    def close(self) -> None:
        """Close the log file, if any; the logger then writes to no file."""
        for handler in list(self.logger.handlers):
            self.logger.removeHandler(handler)
            handler.close()

    def _emit(self, level: int, msg: object, args: tuple[object, ...],
              kwargs: dict[str, Any]) -> None:
        # Records name the caller's file and line, not this wrapper's.
        kwargs["stacklevel"] = kwargs.get("stacklevel", 1) + 2
        self.logger.log(level, msg, *args, **kwargs)

    def __repr__(self) -> str:
        return f"VornaxLog(file={self.file!r}, name={self.logger.name!r})"
