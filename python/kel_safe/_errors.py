"""The exceptions of kel_safe: one class per status code that a caller may
want to act on, all subclasses of Error, which carries the code and the
library's message (never a password or a value)."""


class Error(Exception):
    """A call into the library failed. ``status`` is the library's code
    (the values of kel_status in kel/kel.h), ``status_name`` its name."""

    def __init__(self, message, status, status_name):
        super().__init__(message)
        self.status = status
        self.status_name = status_name


class NotFound(Error, KeyError):
    """No entry of that name is stored. A KeyError, as for a dict."""

    def __str__(self):  # KeyError quotes its argument; a message needs none
        return Exception.__str__(self)


class StoreNotFound(Error):
    """The store file, or a folder on the way to it, does not exist."""


class Exists(Error):
    """The name is stored already, or the store file to create exists."""


class WrongPassword(Error):
    """The password does not open this store."""


class NotAStore(Error):
    """The file is not a store file this library reads."""


class Damaged(Error):
    """The store file is damaged: ``kel-safe check`` says where, ``kel-safe
    repair`` keeps what is intact."""


class InvalidArgument(Error):
    """A name, value, password, format or option the library refuses."""


class Changed(Error):
    """Another process changed the store file meanwhile: try again."""


# kel_status values, as kel/kel.h fixes them.
_BY_STATUS = {
    1: NotFound,
    2: StoreNotFound,
    3: Exists,
    4: WrongPassword,
    5: NotAStore,
    6: Damaged,
    9: InvalidArgument,
    11: Changed,
}


def error_for(status, message, status_name):
    """The exception for a failed call's status."""
    return _BY_STATUS.get(status, Error)(message, status, status_name)
