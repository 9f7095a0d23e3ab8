// Taking one attachment out of a chain: into a file, with progress, or into
// memory. Every step is logged with DiagLog; failures give false or "".
#pragma once

#include <cstdint>
#include <string>

// Streams the plain payload of `typeName` into `destinationPath`. The chain
// ends at PeRawDataEnd when `useImageEnd`, else at the end of the container.
// Progress progressBase + share of progressSpan is reported before every
// 1 MiB block. On any failure after the destination was opened it is deleted.
bool ExtractAttachmentToFile(bool useImageEnd, const std::wstring& containerPath, const std::string& typeName,
                             const std::wstring& destinationPath, int32_t progressBase, int32_t progressSpan);

// The string readers serve small records ("TYPE", "_SG2": a word and about
// 1 KiB of JSON). A larger payload is refused before any of it is read, so a
// forged size can neither exhaust memory nor keep the installer busy.
constexpr uint32_t kMaxStringPayload = 0x10000;

// The plain payload of `typeName` from the chain ending at PeRawDataEnd; ""
// on failure (an empty payload looks the same, as does one above
// kMaxStringPayload bytes).
std::string ReadAttachment(const std::wstring& containerPath, const std::string& typeName);

// As ReadAttachment, but through a shared file handle, the chain ending at
// file size - PeTrailingDataSize(..., belowCertificate). `payloadOffset`
// (optional) receives the payload's file offset as soon as it is found.
std::string ReadAttachmentByHandle(const std::wstring& containerPath, const std::string& typeName,
                                   int32_t* payloadOffset, uint16_t belowCertificate);
