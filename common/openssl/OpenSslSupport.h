// Helpers shared by the certificate operations; not part of the interface.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/openssl/CertManager.h"
#include "common/openssl/OpenSslPtr.h"

namespace quorvel::certificate {

// Certificate and key files are a few kilobytes; anything larger is not one.
constexpr long kMaxCertificateFileSize = 2097152;
// Common names are at most 64 characters; the buffer leaves room.
constexpr int kCommonNameBufferSize = 256;
// Private keys are readable by the owner only; the rest follows the umask.
constexpr mode_t kKeyFileMode = 0600;
constexpr mode_t kPublicFileMode = 0666;

struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

unsigned long nonZero(unsigned long code);
// Earliest queued error, never 0; the rest of the queue is dropped.
unsigned long takeErrorCode();
// Reason part of the earliest queued error, never 0.
int takeReasonCode();
// getOpenSslError, but never code 0.
void takeFailure(unsigned long& errorCode, std::string& errorMessage);

// Null for lengths OpenSSL cannot take.
BioPtr memoryBio(const char* data, size_t length);
inline BioPtr memoryBio(const std::string& data) { return memoryBio(data.data(), data.size()); }
// Neither ever prompts for a password; encrypted tells whether one was wanted.
X509Ptr readCertificate(BIO* bio);
EvpPkeyPtr readPrivateKey(BIO* bio, bool& encrypted);

// Seconds since the epoch (UTC); false when the time cannot be converted.
bool toEpoch(const ASN1_TIME* time, time_t& out);
// Dotted decimal for 4 bytes, eight groups of four upper-case hex digits for 16.
std::string ipText(const ASN1_OCTET_STRING* address);
// An IP alternative name holds 4 or 16 bytes; any other length is logged and the entry ignored.
bool isIpAddressEntry(const ASN1_OCTET_STRING* address, const std::string& logPrefix);
// The value's bytes, embedded zero bytes included.
std::string asn1Text(const ASN1_STRING* value);

}  // namespace quorvel::certificate
