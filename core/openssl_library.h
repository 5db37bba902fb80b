// OpenSSL as the TLS layer calls it, loaded when the first connection asks
// for TLS. A process that only ever speaks plain POP3 never maps libssl and
// libcrypto: loading and relocating them costs a command-line check more
// than a millisecond, a large part of its whole start.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

namespace platform {

// Every OpenSSL function the TLS layer calls. Macros of OpenSSL's headers
// that stand for a call (SSL_CTX_set_mode, sk_X509_num, ...) are written out
// as the call they stand for, since they would name the linked function.
#define POSTWREN_OPENSSL_FUNCTIONS(X)   \
    X(ASN1_STRING_get0_data)            \
    X(ASN1_STRING_length)               \
    X(ASN1_TIME_print)                  \
    X(BIO_ctrl_pending)                 \
    X(BIO_free)                         \
    X(BIO_new)                          \
    X(BIO_read)                         \
    X(BIO_s_mem)                        \
    X(BIO_write)                        \
    X(ERR_clear_error)                  \
    X(ERR_peek_last_error)              \
    X(ERR_reason_error_string)          \
    X(EVP_sha256)                       \
    X(GENERAL_NAMES_free)               \
    X(OPENSSL_sk_num)                   \
    X(OPENSSL_sk_value)                 \
    X(SSL_CTX_ctrl)                     \
    X(SSL_CTX_free)                     \
    X(SSL_CTX_get_ex_data)              \
    X(SSL_CTX_new)                      \
    X(SSL_CTX_sess_set_new_cb)          \
    X(SSL_CTX_set_default_verify_paths) \
    X(SSL_CTX_set_ex_data)              \
    X(SSL_SESSION_free)                 \
    X(SSL_SESSION_get0_peer)            \
    X(SSL_CTX_set_verify)               \
    X(SSL_ctrl)                         \
    X(SSL_do_handshake)                 \
    X(SSL_free)                         \
    X(SSL_get0_param)                   \
    X(SSL_get0_peer_certificate)        \
    X(SSL_get_SSL_CTX)                  \
    X(SSL_get_error)                    \
    X(SSL_get_ex_data)                  \
    X(SSL_get_peer_cert_chain)          \
    X(SSL_get_verify_result)            \
    X(SSL_has_pending)                  \
    X(SSL_new)                          \
    X(SSL_read)                         \
    X(SSL_set1_host)                    \
    X(SSL_set_bio)                      \
    X(SSL_session_reused)               \
    X(SSL_set_connect_state)            \
    X(SSL_set_ex_data)                  \
    X(SSL_set_hostflags)                \
    X(SSL_set_session)                  \
    X(SSL_set_verify)                   \
    X(SSL_shutdown)                     \
    X(SSL_write)                        \
    X(TLS_client_method)                \
    X(X509_NAME_ENTRY_get_data)         \
    X(X509_NAME_get_entry)              \
    X(X509_NAME_get_index_by_NID)       \
    X(X509_NAME_print_ex)               \
    X(X509_VERIFY_PARAM_set1_ip_asc)    \
    X(X509_cmp_current_time)            \
    X(X509_digest)                      \
    X(X509_free)                        \
    X(X509_get0_notAfter)               \
    X(X509_get0_notBefore)              \
    X(X509_get_ext_d2i)                 \
    X(X509_get_issuer_name)             \
    X(X509_get_subject_name)            \
    X(X509_up_ref)                      \
    X(X509_verify_cert_error_string)

// The functions, each typed from OpenSSL's own declaration, so a call through
// a pointer is checked exactly like a call of the function.
struct OpenSslLibrary {
#define POSTWREN_OPENSSL_POINTER(name) decltype(&::name) name = nullptr;
    POSTWREN_OPENSSL_FUNCTIONS(POSTWREN_OPENSSL_POINTER)
#undef POSTWREN_OPENSSL_POINTER
};

// Loads libssl (the major version the program was built with) on the first
// call and keeps it for the life of the process. False, with the reason in
// `why`, when it cannot be loaded or lacks a function; later calls give the
// same answer without trying again. Thread-safe.
bool LoadOpenSsl(std::string& why);

// The loaded functions. Only after LoadOpenSsl has returned true.
const OpenSslLibrary& OpenSsl();

}  // namespace platform
