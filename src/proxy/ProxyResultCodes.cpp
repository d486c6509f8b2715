#include "proxy/ProxyResultCodes.h"

const char* ToText(ProxyResult result) {
    switch (result) {
        case ProxyResult::Ok: return "Ok";
        case ProxyResult::NetFailure: return "NetFailure";
        case ProxyResult::SocketFailure: return "SocketFailure";
        case ProxyResult::WaitTimeout: return "WaitTimeout";
        case ProxyResult::MissingArgument: return "MissingArgument";
    }
    return "unknown";
}
