"""kel_safe.Safe: one store file and its password, used like a dict of
bytes values; and kel_safe.create, which makes a new store."""

import ctypes
import os

from . import _native, _slots
from ._errors import Error, error_for

_lib = _native.lib


def _bytes_arg(data, what):
    """(pointer, length) of a str (as UTF-8), bytes, bytearray or writable
    buffer, without copying bytes or a bytearray."""
    if isinstance(data, str):
        data = os.fsencode(data) if what == "name" else data.encode("utf-8")
    if isinstance(data, bytes):
        return data, len(data)
    if isinstance(data, (bytearray, memoryview)):
        view = memoryview(data)
        if view.readonly:
            raise TypeError("kel_safe: a read-only %s buffer; pass bytes" % what)
        length = view.nbytes
        if length == 0:
            return None, 0
        return ctypes.addressof((ctypes.c_char * length).from_buffer(view)), length
    raise TypeError("kel_safe: a %s is str, bytes or bytearray, not %s"
                    % (what, type(data).__name__))


def _options(format, kdf_memory_kib, kdf_passes):
    options = _native.StoreOptions()
    _lib.kel_store_options_init(ctypes.byref(options))
    options.format = format or 0
    options.kdf_memory_kib = kdf_memory_kib
    options.kdf_passes = kdf_passes
    return options


class Safe:
    """A store file and the password that opens it.

    ``Safe(path, password)`` opens the store ``path`` (".safe" is appended
    unless it ends so) and checks the password (a str, taken as UTF-8,
    bytes, or a bytearray that the caller can wipe afterwards); it raises
    WrongPassword, StoreNotFound, NotAStore or Damaged. Use it in a ``with``
    block, or call close().

    A format-3 store may have several key slots. ``Safe(path,
    identity=text)`` or ``Safe(path, identity_file=path)`` opens through a
    recipient slot with no password; ``Safe(path, password,
    key_file=path)`` through a password-and-key-file slot.

    Names are str (UTF-8; a stored name that is not UTF-8 comes back with
    surrogate escapes, as os.fsdecode gives, and goes in again the same) or
    bytes. Values are bytes. ``safe[name] = value`` adds a new entry and
    raises Exists when the name is stored already: a stored secret is never
    overwritten by accident. Use ``replace`` to change a value.

    One Safe is used by one thread at a time; any number of Safes, in this
    process or others, may share one store file. See the package's
    docstring about what Python cannot wipe.
    """

    def __init__(self, path, password=None, *, identity=None, identity_file=None,
                 key_file=None, kdf_threads=0, _create=None):
        self._handle = _native._handle()
        if identity is not None and identity_file is not None:
            raise TypeError("kel_safe: an identity or an identity file, not both")
        secret, length = (None, 0) if password is None else _bytes_arg(password, "password")
        if _create is None:
            status = _lib.kel_safe_new(ctypes.byref(self._handle), os.fsencode(path), secret,
                                       length)
            if status == _native.OK:
                _lib.kel_safe_set_kdf_threads(self._handle, kdf_threads)
                status = self._choose_key(identity, identity_file, key_file)
            if status == _native.OK:
                status = _lib.kel_safe_verify(self._handle)
        else:
            status = _lib.kel_safe_create(ctypes.byref(self._handle), os.fsencode(path),
                                          secret, length, ctypes.byref(_create))
        if status != _native.OK:
            error = self._error(status)
            self.close()
            raise error

    # ---- the handle -------------------------------------------------------

    def _choose_key(self, identity, identity_file, key_file):
        """What opens the store besides (or instead of) the password; the
        status of the first choice refused."""
        status = _native.OK
        if identity is not None:
            data, length = _bytes_arg(identity, "identity")
            status = _lib.kel_safe_use_identity(self._handle, data, length)
        elif identity_file is not None:
            status = _lib.kel_safe_use_identity_file(self._handle, os.fsencode(identity_file))
        if status == _native.OK and key_file is not None:
            status = _lib.kel_safe_use_key_file(self._handle, os.fsencode(key_file))
        return status

    def close(self):
        """Closes the store; the library wipes what it held. Idempotent."""
        if self._handle:
            _lib.kel_safe_close(self._handle)
            self._handle = _native._handle()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # at interpreter exit the module may be gone
            pass

    def _error(self, status):
        message = _lib.kel_safe_error(self._handle) or b""
        name = _lib.kel_status_name(status).decode()
        return error_for(status, message.decode("utf-8", "replace") or name, name)

    def _check(self, status):
        if not self._handle:
            raise Error("kel_safe: the store is closed", 9, "invalid_argument")
        if status != _native.OK:
            raise self._error(status)

    def _call(self, function, *args):
        if not self._handle:
            raise Error("kel_safe: the store is closed", 9, "invalid_argument")
        self._check(function(self._handle, *args))

    # ---- values -----------------------------------------------------------

    def __getitem__(self, name):
        """The value of ``name`` as bytes (which Python cannot wipe; see
        get_into). KeyError (NotFound) when it is not stored."""
        name, name_length = _bytes_arg(name, "name")
        secret = _native._handle()
        self._call(_lib.kel_safe_get_secret, name, name_length, ctypes.byref(secret))
        try:
            return ctypes.string_at(_lib.kel_secret_data(secret), _lib.kel_secret_size(secret))
        finally:
            _lib.kel_secret_free(secret)  # wipes the library's copy

    def get(self, name, default=None):
        """The value of ``name``, or ``default`` when it is not stored."""
        try:
            return self[name]
        except KeyError:
            return default

    def get_into(self, name, buffer):
        """Reads the value of ``name`` into the bytearray (or writable
        buffer) ``buffer``, with no other copy left in Python, and returns
        its length: the value is ``buffer[:length]``. Wipe the buffer when
        done. When the buffer is too short nothing is copied and Error is
        raised with ``status_name`` "buffer_too_small" and ``length`` the
        value's length."""
        name, name_length = _bytes_arg(name, "name")
        # The library writes into it: bytes and str are immutable.
        if not isinstance(buffer, (bytearray, memoryview)):
            raise TypeError("kel_safe: get_into needs a bytearray, not %s" % type(buffer).__name__)
        data, capacity = _bytes_arg(buffer, "buffer")
        length = ctypes.c_size_t(0)
        status = _lib.kel_safe_get(self._handle, name, name_length, data, capacity,
                                   ctypes.byref(length)) if self._handle else _native.OK
        if status == _native.BUFFER_TOO_SMALL:
            error = self._error(status)
            error.length = length.value
            raise error
        self._check(status)
        return length.value

    def __setitem__(self, name, value):
        """Adds a new entry; Exists when the name is stored already."""
        name, name_length = _bytes_arg(name, "name")
        value, value_length = _bytes_arg(value, "value")
        self._call(_lib.kel_safe_add, name, name_length, value, value_length)

    def replace(self, name, value):
        """Replaces the value of a stored name in one rewrite of the store
        file (readers find the old value or the new one); KeyError
        (NotFound) when it is not stored."""
        name, name_length = _bytes_arg(name, "name")
        value, value_length = _bytes_arg(value, "value")
        self._call(_lib.kel_safe_replace, name, name_length, value, value_length)

    def __contains__(self, name):
        name, name_length = _bytes_arg(name, "name")
        status = _lib.kel_safe_exists(self._handle, name, name_length) if self._handle else 9
        if status == 1:  # not found
            return False
        self._check(status)
        return True

    def __delitem__(self, name):
        """Removes the entry in one rewrite; KeyError when not stored."""
        name, name_length = _bytes_arg(name, "name")
        self._call(_lib.kel_safe_remove, name, name_length)

    def rename(self, old_name, new_name):
        """Renames an entry; KeyError when absent, Exists when the new name
        is stored already."""
        old_name, old_length = _bytes_arg(old_name, "name")
        new_name, new_length = _bytes_arg(new_name, "name")
        self._call(_lib.kel_safe_rename, old_name, old_length, new_name, new_length)

    # ---- listing ------------------------------------------------------------

    def names(self):
        """Every stored name (str), in no particular order, as stored when
        the call ran."""
        listing = _native._handle()
        self._call(_lib.kel_list_open, ctypes.byref(listing), None)
        try:
            found = []
            name = ctypes.c_void_p()
            length = ctypes.c_size_t()
            while True:
                self._check(_lib.kel_list_next(listing, ctypes.byref(name),
                                               ctypes.byref(length), None))
                if not name.value:
                    return found
                found.append(os.fsdecode(ctypes.string_at(name.value, length.value)))
        finally:
            _lib.kel_list_close(listing)

    def __iter__(self):
        return iter(self.names())

    def __len__(self):
        listing = _native._handle()
        count = ctypes.c_size_t(0)
        self._call(_lib.kel_list_open, ctypes.byref(listing), ctypes.byref(count))
        _lib.kel_list_close(listing)
        return count.value

    # ---- the store as a whole ---------------------------------------------

    @property
    def format(self):
        """The store file's format version."""
        version = ctypes.c_int(0)
        self._call(_lib.kel_safe_format, ctypes.byref(version))
        return version.value

    def check(self):
        """Authenticates every record: (intact, damaged) counts. Raises only
        when the store cannot be read; damage is counted, not raised."""
        intact = ctypes.c_uint64(0)
        damaged = ctypes.c_uint64(0)
        if not self._handle:
            self._check(9)
        status = _lib.kel_safe_check(self._handle, ctypes.byref(intact), ctypes.byref(damaged))
        if status not in (_native.OK, 6):
            self._check(status)
        return intact.value, damaged.value

    def change_password(self, old_password, new_password):
        """Changes the store's password; this Safe goes on with the new one.
        The old file stays beside the store as "<store file>.backup1", which
        the old password still opens: delete it once not needed."""
        old, old_length = _bytes_arg(old_password, "password")
        new, new_length = _bytes_arg(new_password, "password")
        self._call(_lib.kel_safe_change_password, old, old_length, new, new_length, None)

    def upgrade(self, password, format=None, *, kdf_memory_kib=0, kdf_passes=0):
        """Rewrites the store in ``format`` (None: the newest) with a new
        store key. The old file stays as "<store file>.backup2": delete it
        once not needed."""
        secret, length = _bytes_arg(password, "password")
        options = _options(format, kdf_memory_kib, kdf_passes)
        self._call(_lib.kel_safe_upgrade, secret, length, ctypes.byref(options))

    # ---- key slots (format 3) ------------------------------------------------

    def slots(self):
        """The store's key slots, in order, as Slot tuples (nothing
        secret)."""
        listing = _native._handle()
        self._call(_lib.kel_slots_open, ctypes.byref(listing), None)
        try:
            return _slots.read_slots(listing)
        finally:
            _lib.kel_slots_close(listing)

    def grant_password(self, password, label=""):
        """Adds a password slot (the password held to the policy)."""
        secret, length = _bytes_arg(password, "password")
        self._call(_lib.kel_safe_grant_password, secret, length, _label(label))

    def grant_key_file(self, password, key_file, label=""):
        """Adds a slot that the password and the key file at ``key_file``
        open together, neither alone."""
        secret, length = _bytes_arg(password, "password")
        self._call(_lib.kel_safe_grant_key_file, secret, length, os.fsencode(key_file),
                   _label(label))

    def grant_recipient(self, public_key, label=""):
        """Adds a recipient slot for a public key's text; Exists when the
        store has one for it already."""
        self._call(_lib.kel_safe_grant_recipient, public_key.encode("utf-8"), _label(label))

    def revoke_slot(self, index):
        """Removes slot ``index`` and draws a new store key in the same
        rewrite: the removed key opens nothing written from then on. The old
        file stays as "<store file>.backup2" (the removed key still opens
        it): delete it once not needed. InvalidArgument for the last intact
        slot, NotFound for no such slot."""
        self._call(_lib.kel_safe_revoke_slot, index)


def _label(label):
    return label.encode("utf-8") if isinstance(label, str) else bytes(label)


def create(path, password, format=None, *, kdf_memory_kib=0, kdf_passes=0):
    """Creates a new, empty store file and returns it open as a Safe.

    ``format`` None makes the newest format the library writes, the one the
    kel-safe tool makes by default; 1 makes the legacy format, whose
    password is cheap to guess. The key derivation is calibrated to about
    half a second unless ``kdf_memory_kib`` and ``kdf_passes`` set it.
    Exists when the file is there already; InvalidArgument when the
    password breaks the policy."""
    return Safe(path, password, _create=_options(format, kdf_memory_kib, kdf_passes))
