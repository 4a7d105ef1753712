#include "relcheck/main.h"

#include "common/exceptions.h"

namespace chronark::relcheck {
namespace {

class THttpFetcher : public TDocumentFetcher {
public:
  void Get(const std::string&, std::string_view, std::string&) override {
    throw Exception("HTTP client not available");
  }
};

}  // namespace

std::unique_ptr<TDocumentFetcher> CreateHttpFetcher() { return std::make_unique<THttpFetcher>(); }

}  // namespace chronark::relcheck
