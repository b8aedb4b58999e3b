#pragma once

// The two built-in root certificates under which the service's server
// certificates are issued, and their import into the local machine's root
// store (platform/rootstore), so that the browser trusts the service.

#include <optional>
#include <string_view>

extern const char* const kEcdsaRootCertificate;
extern const char* const kRsaRootCertificate;

// Adds one certificate (PEM text) to the root store, keeping a copy that is
// there already; false, with the failure and its error code logged, when the
// text is no certificate or the store does not open or take it.
bool importRootCACert(std::optional<std::string_view> pem);

// "-importRootCACert": the elliptic-curve root, then the RSA root (each
// tried whatever became of the other); 0, or kWorkerFailed when either failed.
int importBuiltInRoots();
