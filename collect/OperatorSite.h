// The operator's page as GET routes of the server: every path below "/"
// (the uploads table, one upload, a take's audio, the coverage) behind HTTP
// Basic authorization, over TLS or from the loopback interface only. Takes
// are found through the index by upload id and entry name, never by a path
// from the URL.
#pragma once

#include <string>
#include <vector>

#include "app/Catalogue.h"
#include "collect/Http.h"
#include "collect/Index.h"
#include "collect/OperatorAccess.h"

namespace orvant::collect {

class TOperatorSite {
public:
    // catalogue: the phrases of --catalogue, or none (captions and coverage
    // are then not shown).
    TOperatorSite(TUploadIndex& index, std::string store, std::string password,
                  std::vector<TCataloguePhrase> catalogue, bool haveCatalogue);

    // Registers the pages on server (a prefix route "/").
    void Register(THttpServer& server);
    THttpResponse Handle(const THttpRequest& request);

private:
    THttpResponse Uploads(const THttpRequest& request);
    THttpResponse Upload(const THttpRequest& request);
    THttpResponse Take(const THttpRequest& request);
    THttpResponse Coverage();

    TUploadIndex& fIndex;
    std::string fStore, fPassword;
    std::vector<TCataloguePhrase> fCatalogue;
    bool fHaveCatalogue;
    TLoginThrottle fThrottle;
};

// Whether the operator's page may be served on this listening address: over
// TLS anywhere, over plain HTTP only on a loopback address.
bool OperatorPageAllowed(const std::string& listen, bool tls);

}  // namespace orvant::collect
