// Built into the mingw Crypto++ in place of its dll.cpp (scripts/bootstrap.sh).
// dll.cpp instantiates the templates of every algorithm the library has
// (elliptic curves, DSA, GF(2^n), ...), and the RSA code's first reference
// into it linked all of them into Stub.exe: about half a megabyte it never
// runs. These are the instances the RSA, PSS and OAEP code refers to; built
// with KZ_CIPHER_MODES, the cipher modes' instances that RandomPool needs
// (tests and tools), in an object of their own that Stub.exe does not link.
#define CRYPTOPP_MANUALLY_INSTANTIATE_TEMPLATES
#define CRYPTOPP_DEFAULT_NO_DLL
#ifdef KZ_CIPHER_MODES
#include "modes.h"
#else
#include "modarith.h"
#include "algparam.h"
#include "oaep.h"
#endif
