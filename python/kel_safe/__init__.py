"""Named secrets in a kel-safe store file, from Python.

    import kel_safe
    with kel_safe.Safe("app", "Example-Passw0rd-123!") as safe:
        safe["db"] = b"s3cret"          # adds; an existing name raises Exists
        safe.replace("db", b"n3w")      # replaces; a missing name raises KeyError
        value = safe["db"]              # bytes

Memory. The library wipes every copy of a password or value it makes. Python
cannot wipe ``bytes`` or ``str`` objects: they are immutable, may be copied
or interned, and linger in freed memory until it is reused. A value read
with ``safe[name]`` and a password passed as ``str`` or ``bytes`` stay in
the process's memory for an unknown time. Where that matters, pass the
password as a ``bytearray``, read values with ``safe.get_into(name,
buffer)`` into a ``bytearray`` of your own, and overwrite both when done
(``buffer[:] = bytes(len(buffer))``).
"""

from ._errors import (Changed, Damaged, Error, Exists, InvalidArgument, NotAStore, NotFound,
                      StoreNotFound, WrongPassword)
from ._safe import Safe, create
from ._slots import Slot, check_public_key, generate_identity, identity_public_key

__all__ = [
    "Safe", "create", "Error", "WrongPassword", "Damaged", "NotAStore", "Exists", "NotFound",
    "StoreNotFound", "InvalidArgument", "Changed", "Slot", "generate_identity",
    "identity_public_key", "check_public_key",
]
