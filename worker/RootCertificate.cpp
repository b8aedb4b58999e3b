#include "worker/RootCertificate.h"

#include "common/ToolLog.h"
#include "platform/rootstore/RootStore.h"
#include "worker/Worker.h"

#include <cerrno>

bool importRootCACert(std::optional<std::string_view> pem) {
    int error = 0;
    const auto der = pem ? platform::decodeCertificatePem(*pem, error) : std::nullopt;
    if (!der) {
        logErrorInt("Parse root CA failed: ", pem ? error : EINVAL);
        return false;
    }
    const auto store = platform::RootStore::open(error);
    if (!store) {
        logErrorInt("The CA system store did not open: ", error);
        return false;
    }
    if (!store->systemAnchors()) {
        logNormal("System trust store: ", "Not there or not writable, left out");
    }
    if (const int added = store->add(*der); added != 0) {
        logErrorInt("Import root CA failed: ", added);
        return false;
    }
    return true;
}

int importBuiltInRoots() {
    bool imported = true;
    if (!importRootCACert(kEcdsaRootCertificate)) {
        logError("Import root CA failed ", "ECC");
        imported = false;
    }
    if (!importRootCACert(kRsaRootCertificate)) {
        logError("Import root CA failed ", "RSA");
        imported = false;
    }
    return imported ? kWorkerSuccess : kWorkerFailed;
}
