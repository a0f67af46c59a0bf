// Slot folders from CSL packages: the model matched to a pilot is baked
// once into <root>/Resources/plugins/Velmir/csl-cache/ and linked from
// there into the slot, so forty pilots of one type cost one bake.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/csl/Bake.h"
#include "net/csl/Match.h"
#include "net/csl/Package.h"
#include "net/pilot/PluginLink.h"

namespace velmir::net::csl {

// What a pilot's identity tells the matcher. The type comes from the model
// path ("…/B738.acf") until identities carry it; the operator from the
// callsign; the livery from the tail number.
std::string TypeFromModelPath(const std::string& path, const TypeTable&);
Query QueryFor(const Identity&, const TypeTable&);

// Links `from` to `to` (a hard link, or a copy across file systems),
// through a temporary name so `to` is never seen half written.
bool PlaceFile(const std::string& from, const std::string& to, std::string& error);

class CslSlotSource : public SlotModelSource {
  public:
    using Report = std::function<void(const std::string&)>;
    // `report` gets each problem once (default: standard error).
    CslSlotSource(std::vector<std::string> folders, std::string root,
                  BakeState state = BakeState::GearDown(), Report report = {});

    const Collection& Packages() const { return collection_; }
    const Matcher& Models() const { return matcher_; }

    std::string KeyFor(const Identity&) override;
    bool Fill(int slot, const Identity&, std::string& error) override;

    // The baked folder of a model in the cache, baked now if missing.
    bool Baked(const CslModel&, std::string& folder, std::string& error);
    bool FillSlot(int slot, const CslModel&, std::string& error);

  private:
    const std::string& CacheName(const CslModel&);
    bool Bake(const CslModel&, const std::string& folder, std::string& error);

    std::vector<std::string> folders_;  // canonical, to keep textures inside
    std::string root_, cache_;
    BakeState state_;
    Report report_;
    Collection collection_;
    Matcher matcher_;
    std::vector<std::string> names_;  // per model: its cache folder's name
    std::vector<char> ready_;         // per model: baked and checked this run
};

}  // namespace velmir::net::csl
