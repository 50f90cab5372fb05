"""The one exception class of the package, and the system's errors in its form."""
import errno as _errno
import os


class KinovarError(Exception):
    """An operation that did not do what was asked.

    ``code`` names the cause, as the Node library names it
    (``ERR_KINOVAR_FORMAT``, ``ERR_KINOVAR_NO_SAMPLES``, ...), or the
    system's name for an error of the file system (``ENOENT``, ``EACCES``);
    other attributes (``path``, ``errno``, ``cause``) say more where known.
    """

    def __init__(self, message, code, **details):
        super().__init__(message)
        self.code = code
        for name, value in details.items():
            setattr(self, name, value)


class SettingsValueError(KinovarError, ValueError):
    """A settings value that no record can hold (code ERR_KINOVAR_SETTINGS_VALUE)."""


class LocalTimeWarning(UserWarning):
    """A recording's creation time that a change of daylight-saving time
    skips or repeats in the zone given: the datetime column takes it at the
    zone's offset there, which may not be the one the device kept."""


# What to do about the system's refusals met most often.
_ADVICE = {
    "ENOENT": "check the path",
    "EACCES": "check the file's permissions",
    "EPERM": "check the file's permissions",
    "EISDIR": "give a file, not a folder",
    "ENOTDIR": "a part of the path is not a folder",
    "ENOSPC": "free some space on the disk",
    "EROFS": "the disk is read-only; write elsewhere",
}


def system_error(number, path, action):
    """A file system failure as a KinovarError whose code is the system's name for it."""
    code = _errno.errorcode.get(number, "EIO")
    advice = _ADVICE.get(code)
    message = f"could not {action} {path}: {os.strerror(number)} ({code})" + (f"; {advice}" if advice else "")
    return KinovarError(message, code, errno=number, path=path)


def from_os_error(error, path, action):
    return system_error(error.errno or _errno.EIO, path, action)
