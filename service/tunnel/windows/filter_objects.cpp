#include "filter_objects.h"

#include "numbered_code.h"

namespace zv {
namespace {

constexpr char16_t kProviderName[] = u"ZENTRAVOLK Smart Split";
constexpr char16_t kSubLayerName[] = u"ZENTRAVOLK Process Split";
constexpr char16_t kCalloutName[] = u"ZENTRAVOLK Flow Classifier";
constexpr char16_t kFilterName[] = u"ZENTRAVOLK Game Process Filter";

// Objects that exist already are kept as they are; filters never count as existing.
bool Present(std::uint32_t result) { return result == 0 || result == kFilterAlreadyExists; }

}  // namespace

bool InstallFilterObjects(SplitCalls& platform, FilterEngineHandle& engine, std::string& error) {
  if (auto result = platform.OpenFilterEngine(kAuthenticationWinNt, kSessionFlagDynamic, engine); result != 0) {
    return FailWithNumber(error, "wfp_engine_open_failed_", result);
  }
  if (auto result = platform.BeginTransaction(engine); result != 0) {
    return FailWithNumber(error, "wfp_transaction_failed_", result);
  }
  const auto abort = [&](const char* prefix, std::uint32_t result) {
    platform.AbortTransaction(engine);
    return FailWithNumber(error, prefix, result);
  };
  if (auto result = platform.AddProvider(engine, {kSplitProviderKey, kProviderName}); !Present(result)) {
    return abort("wfp_provider_failed_", result);
  }
  if (auto result = platform.AddSubLayer(engine, {kSplitSubLayerKey, kSubLayerName, kSplitProviderKey,
                                                  kSplitSubLayerWeight});
      !Present(result)) {
    return abort("wfp_sublayer_failed_", result);
  }
  for (const auto& [callout, layer] : {std::pair{kCalloutV4Key, kLayerConnectV4}, {kCalloutV6Key, kLayerConnectV6}}) {
    if (auto result = platform.AddCallout(engine, {callout, kCalloutName, kSplitProviderKey, layer});
        !Present(result)) {
      return abort("wfp_callout_failed_", result);
    }
    const CalloutFilter filter{kFilterName, kSplitProviderKey, layer, kSplitSubLayerKey, kActionCalloutTerminating,
                               callout};
    if (auto result = platform.AddFilter(engine, filter); result != 0) return abort("wfp_filter_failed_", result);
  }
  if (auto result = platform.CommitTransaction(engine); result != 0) {
    return FailWithNumber(error, "wfp_commit_failed_", result);
  }
  return true;
}

}  // namespace zv
