"""Asks a PKCS#11 module directly (ctypes, no wrapper library) what a key
object gives away: CKA_SENSITIVE, CKA_EXTRACTABLE, and whether reading its
private exponent works. The token's own answer, not a tool's summary."""
import ctypes

CKF_SERIAL_SESSION, CKF_RW_SESSION = 0x4, 0x2
CKU_USER = 1
CKA_CLASS, CKA_ID, CKA_SENSITIVE, CKA_EXTRACTABLE = 0x0, 0x102, 0x103, 0x162
CKA_MODULUS, CKA_PRIVATE_EXPONENT, CKA_PRIME_1 = 0x120, 0x123, 0x124
CKO_PRIVATE_KEY = 3
CKR_ATTRIBUTE_SENSITIVE = 0x11
ULONG = ctypes.c_ulong


class Attribute(ctypes.Structure):
    _fields_ = [('type', ULONG), ('value', ctypes.c_void_p), ('length', ULONG)]


class Token:
    def __init__(self, module, label, pin):
        self.lib = ctypes.CDLL(module)
        self.call('C_Initialize', None)
        count = ULONG(0)
        self.call('C_GetSlotList', ctypes.c_ubyte(1), None, ctypes.byref(count))
        slots = (ULONG * count.value)()
        self.call('C_GetSlotList', ctypes.c_ubyte(1), slots, ctypes.byref(count))
        # CK_TOKEN_INFO starts with the 32-byte blank-padded label.
        info = ctypes.create_string_buffer(1024)
        chosen = [slot for slot in slots
                  if self.call('C_GetTokenInfo', ULONG(slot), info, allowed=(0, 0xE1)) == 0 and
                  info.raw[:32].rstrip(b' \0') == label.encode()]
        if not chosen:
            raise RuntimeError('no token labelled %s' % label)
        self.session = ULONG(0)
        self.call('C_OpenSession', ULONG(chosen[0]), ULONG(CKF_SERIAL_SESSION | CKF_RW_SESSION), None, None,
                  ctypes.byref(self.session))
        pin = pin.encode()
        self.call('C_Login', self.session, ULONG(CKU_USER), ctypes.c_char_p(pin), ULONG(len(pin)))

    def call(self, name, *args, allowed=(0,)):
        rv = getattr(self.lib, name)(*args)
        if rv not in allowed:
            raise RuntimeError('%s returned 0x%x' % (name, rv))
        return rv

    def private_key(self, key_id):
        klass = ULONG(CKO_PRIVATE_KEY)
        ident = ctypes.create_string_buffer(key_id, len(key_id))
        template = (Attribute * 2)(Attribute(CKA_CLASS, ctypes.cast(ctypes.byref(klass), ctypes.c_void_p),
                                             ctypes.sizeof(klass)),
                                   Attribute(CKA_ID, ctypes.cast(ident, ctypes.c_void_p), len(key_id)))
        self.call('C_FindObjectsInit', self.session, template, ULONG(2))
        handle, found = ULONG(0), ULONG(0)
        self.call('C_FindObjects', self.session, ctypes.byref(handle), ULONG(1), ctypes.byref(found))
        self.call('C_FindObjectsFinal', self.session)
        if not found.value:
            raise RuntimeError('no private key with id %s' % key_id.hex())
        return handle

    def flag(self, handle, attribute):
        value = ctypes.c_ubyte(0)
        template = (Attribute * 1)(Attribute(attribute, ctypes.cast(ctypes.byref(value), ctypes.c_void_p), 1))
        self.call('C_GetAttributeValue', self.session, handle, template, ULONG(1))
        return bool(value.value)

    def read(self, handle, attribute):
        """The attribute's bytes, or None when the token refuses (CKR_ATTRIBUTE_SENSITIVE)."""
        buffer = ctypes.create_string_buffer(1024)
        template = (Attribute * 1)(Attribute(attribute, ctypes.cast(buffer, ctypes.c_void_p), 1024))
        rv = self.call('C_GetAttributeValue', self.session, handle, template, ULONG(1),
                       allowed=(0, CKR_ATTRIBUTE_SENSITIVE))
        return None if rv == CKR_ATTRIBUTE_SENSITIVE else buffer.raw[:template[0].length]

    def close(self):
        self.call('C_Logout', self.session, allowed=(0, 0x101))
        self.call('C_CloseSession', self.session)
        self.call('C_Finalize', None)
