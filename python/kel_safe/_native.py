"""Loading libkel-safe.so.1 and declaring the C interface (kel/kel.h) to
ctypes. ctypes rather than a compiled extension or cffi: the package then
installs anywhere with no compiler, no headers and no build dependency, and
one library binary serves every Python version. The price is a little more
overhead per call."""

import ctypes
import ctypes.util
import os

OK = 0
BUFFER_TOO_SMALL = 256


def _load():
    path = os.environ.get("KEL_SAFE_LIBRARY")
    if path:
        return ctypes.CDLL(path)
    candidates = [ctypes.util.find_library("kel-safe"), "libkel-safe.so.1"]
    failure = None
    for candidate in candidates:
        if not candidate:
            continue
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            failure = error
    raise ImportError("kel_safe: libkel-safe.so.1 not found; install it or set "
                      "KEL_SAFE_LIBRARY to its path (%s)" % failure)


lib = _load()


class StoreOptions(ctypes.Structure):
    """kel_store_options."""
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("format", ctypes.c_int),
        ("kdf_memory_kib", ctypes.c_uint32),
        ("kdf_passes", ctypes.c_uint32),
        ("kdf_lanes", ctypes.c_uint32),
        ("kdf_time_ms", ctypes.c_uint32),
    ]


_handle = ctypes.c_void_p
_bytes = ctypes.c_void_p
_size = ctypes.c_size_t
_status = ctypes.c_int


def _declare(name, restype, *argtypes):
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)


_declare("kel_status_name", ctypes.c_char_p, _status)
_declare("kel_safe_new", _status, ctypes.POINTER(_handle), ctypes.c_char_p, _bytes, _size)
_declare("kel_safe_verify", _status, _handle)
_declare("kel_safe_create", _status, ctypes.POINTER(_handle), ctypes.c_char_p, _bytes, _size,
         ctypes.POINTER(StoreOptions))
_declare("kel_safe_close", None, _handle)
_declare("kel_safe_error", ctypes.c_char_p, _handle)
_declare("kel_safe_set_kdf_threads", _status, _handle, ctypes.c_uint)
_declare("kel_store_options_init", _status, ctypes.POINTER(StoreOptions))
_declare("kel_safe_change_password", _status, _handle, _bytes, _size, _bytes, _size,
         ctypes.POINTER(StoreOptions))
_declare("kel_safe_upgrade", _status, _handle, _bytes, _size, ctypes.POINTER(StoreOptions))
_declare("kel_safe_format", _status, _handle, ctypes.POINTER(ctypes.c_int))
_declare("kel_safe_get", _status, _handle, _bytes, _size, _bytes, _size, ctypes.POINTER(_size))
_declare("kel_safe_get_secret", _status, _handle, _bytes, _size, ctypes.POINTER(_handle))
_declare("kel_secret_data", ctypes.c_void_p, _handle)
_declare("kel_secret_size", _size, _handle)
_declare("kel_secret_free", None, _handle)
_declare("kel_safe_add", _status, _handle, _bytes, _size, _bytes, _size)
_declare("kel_safe_replace", _status, _handle, _bytes, _size, _bytes, _size)
_declare("kel_safe_exists", _status, _handle, _bytes, _size)
_declare("kel_safe_remove", _status, _handle, _bytes, _size)
_declare("kel_safe_rename", _status, _handle, _bytes, _size, _bytes, _size)
_declare("kel_list_open", _status, _handle, ctypes.POINTER(_handle), ctypes.POINTER(_size))
_declare("kel_list_next", _status, _handle, ctypes.POINTER(ctypes.c_void_p),
         ctypes.POINTER(_size), ctypes.POINTER(ctypes.c_uint64))
_declare("kel_list_close", None, _handle)
_declare("kel_safe_check", _status, _handle, ctypes.POINTER(ctypes.c_uint64),
         ctypes.POINTER(ctypes.c_uint64))

# Key slots (KEL_SAFE_1.2).
PUBLIC_KEY_CAPACITY = 128
_declare("kel_generate_identity", _status, ctypes.POINTER(_handle), ctypes.c_char_p, _size,
         ctypes.POINTER(_size))
_declare("kel_identity_public_key", _status, _bytes, _size, ctypes.c_char_p, _size,
         ctypes.POINTER(_size))
_declare("kel_check_public_key", _status, ctypes.c_char_p)
_declare("kel_safe_use_identity", _status, _handle, _bytes, _size)
_declare("kel_safe_use_identity_file", _status, _handle, ctypes.c_char_p)
_declare("kel_safe_use_key_file", _status, _handle, ctypes.c_char_p)
_declare("kel_safe_grant_password", _status, _handle, _bytes, _size, ctypes.c_char_p)
_declare("kel_safe_grant_key_file", _status, _handle, _bytes, _size, ctypes.c_char_p,
         ctypes.c_char_p)
_declare("kel_safe_grant_recipient", _status, _handle, ctypes.c_char_p, ctypes.c_char_p)
_declare("kel_safe_revoke_slot", _status, _handle, _size)
_declare("kel_slots_open", _status, _handle, ctypes.POINTER(_handle), ctypes.POINTER(_size))
_declare("kel_slots_count", _size, _handle)
_declare("kel_slots_index", _size, _handle, _size)
_declare("kel_slots_kind", ctypes.c_int, _handle, _size)
_declare("kel_slots_label", ctypes.c_char_p, _handle, _size)
_declare("kel_slots_created", ctypes.c_int64, _handle, _size)
_declare("kel_slots_public_key", ctypes.c_char_p, _handle, _size)
_declare("kel_slots_intact", ctypes.c_int, _handle, _size)
_declare("kel_slots_opened_here", ctypes.c_int, _handle, _size)
_declare("kel_slots_close", None, _handle)
