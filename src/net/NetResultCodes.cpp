#include "net/NetResultCodes.h"

const char* ToText(NetResult result) {
    switch (result) {
        case NetResult::Ok: return "Ok";
        case NetResult::Failure: return "Failure";
        case NetResult::NotAnAddress: return "NotAnAddress";
        case NetResult::SocketFailure: return "SocketFailure";
        case NetResult::ConnectFailure: return "ConnectFailure";
        case NetResult::WaitTimeout: return "WaitTimeout";
        case NetResult::ReadFailure: return "ReadFailure";
        case NetResult::TlsInitFailure: return "TlsInitFailure";
        case NetResult::TlsContextFailure: return "TlsContextFailure";
        case NetResult::TlsObjectFailure: return "TlsObjectFailure";
        case NetResult::HandshakeFailure: return "HandshakeFailure";
        case NetResult::CertificateRefused: return "CertificateRefused";
        case NetResult::CertificateUnusable: return "CertificateUnusable";
        case NetResult::CertificateUnwritable: return "CertificateUnwritable";
        case NetResult::KeyGenerationFailure: return "KeyGenerationFailure";
    }
    return "unknown";
}
