"""Key slots of format-3 stores: identities (the X25519 secret keys that
open recipient slots) and the description of a store's slots.

An identity's text is a secret: it comes back as a bytearray, which the
caller can overwrite once it is written to a file of mode 0600. A public
key is one line of printable ASCII, nothing secret, given as str."""

import collections
import ctypes

from . import _native
from ._errors import error_for

_lib = _native.lib

KINDS = {0: "unknown", 1: "password", 2: "recipient", 3: "password_and_key_file"}

Slot = collections.namedtuple(
    "Slot", "index kind label created public_key intact opened_here")
Slot.__doc__ = """One slot of a store's header, as Safe.slots() reports it.
``index`` is what Safe.revoke_slot takes; ``kind`` one of "password",
"recipient", "password_and_key_file", "unknown"; ``created`` Unix seconds;
``intact`` False for a damaged slot or one from another store or from
before a revocation; ``opened_here`` True for the slot this Safe opened
through."""


def _raise(status):
    name = _lib.kel_status_name(status).decode()
    raise error_for(status, name, name)


def _public_key(call, *args):
    buffer = ctypes.create_string_buffer(_native.PUBLIC_KEY_CAPACITY)
    length = ctypes.c_size_t(0)
    status = call(*args, buffer, len(buffer), ctypes.byref(length))
    if status != _native.OK:
        _raise(status)
    return buffer.value.decode("ascii")


def generate_identity():
    """A new identity: (its text as a bytearray, its public key as str).
    Write the text to a file only you can read, then overwrite it
    (``text[:] = bytes(len(text))``)."""
    secret = _native._handle()
    public_key = _public_key(_lib.kel_generate_identity, ctypes.byref(secret))
    try:
        size = _lib.kel_secret_size(secret)
        text = bytearray(size)
        ctypes.memmove((ctypes.c_char * size).from_buffer(text), _lib.kel_secret_data(secret),
                       size)
        return text, public_key
    finally:
        _lib.kel_secret_free(secret)  # wipes the library's copy


def identity_public_key(identity):
    """The public key (str) of an identity's text (bytes, bytearray or
    str); InvalidArgument when it holds none."""
    if isinstance(identity, str):
        identity = identity.encode("utf-8")
    if isinstance(identity, bytearray) and identity:
        # No copy of the secret that Python could not wipe.
        data = ctypes.addressof((ctypes.c_char * len(identity)).from_buffer(identity))
    else:
        data = bytes(identity)
    return _public_key(_lib.kel_identity_public_key, data, len(identity))


def check_public_key(public_key):
    """Whether ``public_key`` (str) is a valid public key text."""
    return _lib.kel_check_public_key(public_key.encode("utf-8")) == _native.OK


def read_slots(listing):
    """The Slots of a kel_slots list."""
    found = []
    for i in range(_lib.kel_slots_count(listing)):
        found.append(Slot(
            index=_lib.kel_slots_index(listing, i),
            kind=KINDS.get(_lib.kel_slots_kind(listing, i), "unknown"),
            label=(_lib.kel_slots_label(listing, i) or b"").decode("utf-8", "surrogateescape"),
            created=_lib.kel_slots_created(listing, i),
            public_key=(_lib.kel_slots_public_key(listing, i) or b"").decode("ascii", "replace"),
            intact=bool(_lib.kel_slots_intact(listing, i)),
            opened_here=bool(_lib.kel_slots_opened_here(listing, i))))
    return found
