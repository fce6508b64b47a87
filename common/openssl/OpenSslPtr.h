// Owning handles for the OpenSSL objects the certificate code creates.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace quorvel::certificate {

template <auto FreeFn>
struct OpenSslFree {
  template <typename T>
  void operator()(T* object) const {
    FreeFn(object);
  }
};

struct X509StackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree<&BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree<&BN_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<&EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<&EVP_PKEY_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<&X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpenSslFree<&X509_NAME_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslFree<&X509_EXTENSION_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, OpenSslFree<&GENERAL_NAMES_free>>;
using ASN1StringPtr = std::unique_ptr<ASN1_STRING, OpenSslFree<&ASN1_STRING_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpenSslFree<&PKCS12_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

}  // namespace quorvel::certificate
