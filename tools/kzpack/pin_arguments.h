// Signer commands must not carry a PIN or password: an argument is visible in
// the process list, in shell history and in CI logs. What counts as one:
//   - pkcs11-tool's -p/--pin/--so-pin/--puk/--new-pin, read as its option
//     parser reads them (-p1234, -lp1234, --pin=1234, abbreviated --pi 1234);
//   - openssl's -passin/-passout/-pass (also --name and name=value forms) and
//     the same PIN options for other programs, plus "-p" with digits attached;
//   - a pkcs11 URI with pin-value=, a bare "pass:..." argument;
//   - every NAME=VALUE that `env` or `sudo` would put in the signer's
//     environment (the value is in the arguments; set NAME in kzpack's
//     environment instead).
// A wrapper in front (timeout, nice, ionice, stdbuf, setsid, sudo, doas, env,
// nested in any order) is read with its own options and operands, and the
// program it runs is judged by these rules. A shell's -c text is not read.
// References are fine: env:NAME (and for openssl file:PATH, fd:N). openssl's
// "stdin" is refused too: the signer's stdin carries the digest.
#pragma once

#include <string>
#include <vector>

namespace kzpack {

// Why `argv` (program first) carries a PIN, as the tail of an error line that
// names the option but never its value; "" when it does not.
std::string LiteralPinProblem(const std::vector<std::string>& argv);

}  // namespace kzpack
