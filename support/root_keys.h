// The root public keys built into this program (DER SubjectPublicKeyInfo).
#pragma once

// Certifies bundle signing keys (RSA-2048).
extern const unsigned char kBundleRootKeyDer[];
extern const unsigned int kBundleRootKeyDerSize;
// Verifies embedded image signatures (RSA-4096).
extern const unsigned char kImageRootKeyDer[];
extern const unsigned int kImageRootKeyDerSize;
