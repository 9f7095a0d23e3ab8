# A release build (-DKZ_RELEASE=ON) must not embed a development key from
# keys/: their private halves are in the repository, so anyone could sign an
# installer such a stub accepts. Included by the top CMakeLists.txt; also
# runs alone: cmake -DKZ_BUNDLE_ROOT_KEY=... -DKZ_IMAGE_ROOT_KEY=...
# -DKZ_KEYS_DIR=... -P CheckReleaseKeys.cmake
foreach(option KZ_BUNDLE_ROOT_KEY KZ_IMAGE_ROOT_KEY)
  if(NOT EXISTS "${${option}}")
    message(FATAL_ERROR "${option}: '${${option}}' does not exist")
  endif()
  file(READ "${${option}}" given HEX)
  foreach(name dev_bundle_root dev_image_root dev_bundle_signing)
    file(READ "${KZ_KEYS_DIR}/${name}.pub.der" development HEX)
    # Known by value: 64 bytes from the middle of the modulus are in every
    # encoding of the key (a DER form without NULL parameters, a PKCS#1 key).
    string(LENGTH "${development}" length)
    math(EXPR middle "${length} / 4 * 2")
    string(SUBSTRING "${development}" ${middle} 128 modulusPart)
    string(FIND "${given}" "${modulusPart}" found)
    if(NOT found EQUAL -1)
      message(FATAL_ERROR "KZ_RELEASE is on, but ${option} (${${option}}) is the development key keys/${name}.pub.der, "
                          "whose private half is in the repository. Pass your own public keys: "
                          "-DKZ_BUNDLE_ROOT_KEY=<bundle_root.pub.der> -DKZ_IMAGE_ROOT_KEY=<image_root.pub.der>")
    endif()
  endforeach()
endforeach()
