# Fills the stub's key block (support/root_key_block.h) with the root public
# keys named by KZ_BUNDLE_ROOT_KEY and KZ_IMAGE_ROOT_KEY: a translation unit of
# its own, so the keys stay data that is read at every check.
function(kz_embed_root_keys target)
  set(out "${CMAKE_BINARY_DIR}/generated/root_key_block_data.cpp")
  foreach(option KZ_BUNDLE_ROOT_KEY KZ_IMAGE_ROOT_KEY)
    if(NOT EXISTS "${${option}}")
      message(FATAL_ERROR "${option}: '${${option}}' does not exist.")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${${option}}")
  endforeach()
  file(READ "${KZ_BUNDLE_ROOT_KEY}" bundle HEX)
  string(LENGTH "${bundle}" bundleLength)
  # The one DER form of an RSA-2048 key with exponent 65537 and NULL parameters.
  if(NOT bundleLength EQUAL 588 OR
     NOT bundle MATCHES "^30820122300d06092a864886f70d01010105000382010f003082010a0282010100.*0203010001$")
    message(FATAL_ERROR "KZ_BUNDLE_ROOT_KEY: '${KZ_BUNDLE_ROOT_KEY}' is not an RSA-2048 public key with exponent "
                        "65537 in its 294-byte DER SubjectPublicKeyInfo form (kzpack keygen writes that form; "
                        "openssl pkey -pubin -outform DER re-encodes a key into it).")
  endif()
  file(READ "${KZ_IMAGE_ROOT_KEY}" image HEX)
  string(LENGTH "${image}" imageLength)
  math(EXPR imageSize "${imageLength} / 2")
  if(NOT image MATCHES "^3082" OR imageSize GREATER 1062)
    message(FATAL_ERROR "KZ_IMAGE_ROOT_KEY: '${KZ_IMAGE_ROOT_KEY}' is not a DER SubjectPublicKeyInfo of at most "
                        "1062 bytes (an RSA-4096 public key; kzpack keygen writes one).")
  endif()
  math(EXPR room "(1062 - ${imageSize}) * 2")
  string(REPEAT "0" ${room} padding)
  math(EXPR b0 "${imageSize} % 256")
  math(EXPR b1 "${imageSize} / 256")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bundleBytes "${bundle}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," imageBytes "${image}${padding}")
  set(body "// Generated from KZ_BUNDLE_ROOT_KEY and KZ_IMAGE_ROOT_KEY.\n#include \"support/root_key_block.h\"\n")
  string(APPEND body "const RootKeyBlock kRootKeyBlock = {{KZ_ROOT_KEY_MARKER_BYTES}, {${bundleBytes}}, "
                     "{${b0}, ${b1}, 0, 0}, {${imageBytes}}};\n")
  file(CONFIGURE OUTPUT "${out}" CONTENT "${body}")
  target_sources(${target} PRIVATE "${out}")
endfunction()

# The committed development public keys, compiled into the tools so that they
# can say when a file is signed with them (tools/kzpack/development_keys.h).
function(kz_embed_development_keys target)
  set(out "${CMAKE_BINARY_DIR}/generated/development_keys_data.cpp")
  set(body "// Generated from keys/dev_*.pub.der.\n#include \"tools/kzpack/development_keys.h\"\nnamespace kzpack {\n")
  foreach(pair "BundleRoot;dev_bundle_root" "ImageRoot;dev_image_root" "BundleSigning;dev_bundle_signing")
    list(GET pair 0 name)
    list(GET pair 1 file)
    set(path "${PROJECT_SOURCE_DIR}/keys/${file}.pub.der")
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND body "const std::vector<uint8_t> kDevelopment${name}Key = {${bytes}};\n")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
  endforeach()
  string(APPEND body "}  // namespace kzpack\n")
  file(CONFIGURE OUTPUT "${out}" CONTENT "${body}")
  target_sources(${target} PRIVATE "${out}")
endfunction()
