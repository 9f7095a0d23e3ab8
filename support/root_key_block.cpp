#include "support/root_key_block.h"

#include "support/byte_order.h"

RootKeyView BundleRootKey() { return {kRootKeyBlock.bundleRoot, kBundleRootKeySize}; }

RootKeyView ImageRootKey() {
  const size_t length = LoadLe32(kRootKeyBlock.imageRootLength);
  return {kRootKeyBlock.imageRoot, length <= kImageRootKeyRoom ? length : 0};
}
