// ServerCertificate keeps the certificate of the local TLS ports in force:
// at start-up it reads the user's pair from the working directory or makes
// one, and every later check (with each timer run) renews a pair that nears
// its end. A new pair is presented to the next client at once; clients
// already connected keep theirs.
#pragma once

#include <ctime>
#include <string>

#include "context/AppContext.h"

// Where the certificate and key files live.
std::string ServerCertificatePath(const AppContext& ctx);
std::string ServerKeyPath(const AppContext& ctx);

// Makes sure ctx.tlsServer presents a good certificate that does not end
// soon, as of now. False when there is none to present (logged); the TLS
// ports then close every client they accept until a later check succeeds.
bool RefreshServerCertificate(AppContext& ctx, std::time_t now = std::time(nullptr));
