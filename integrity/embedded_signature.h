// The embedded signature of an executable: an "_SG2" attachment holding the
// JSON record {"sign": "<hex>"}, an RSASSA-PKCS1-v1_5 / SHA-1 signature by
// the image root key over every byte in front of the record's payload.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "integrity/json.h"

// True when the file's record verifies against ImageRootKey. Callers pass
// `excludeHeaderFields` false: a failed check is then repeated once, silently,
// with the PE exclusion ranges left out of the message (the form that survives
// Authenticode signing); only a failure of that second attempt is logged.
bool VerifyEmbeddedSignature(const std::wstring& path, bool excludeHeaderFields);

// The members of the file's "_SG2" record, found first at the end of the last
// section and then below the certificate table; empty when there is none or
// it is no JSON object. `*signedLength` receives the record payload's offset.
std::map<std::string, JsonValue> ReadSignatureRecord(const std::wstring& path, int64_t* signedLength);
