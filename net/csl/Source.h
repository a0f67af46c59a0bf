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

// What a pilot's identity tells the matcher: the type, operator and livery
// it published. An old sender publishes none: its type is read from the
// model path ("…/B738.acf"), the operator from the callsign, the livery is
// the tail number. A sender that knows no type gets the model path's guess.
std::string TypeFromModelPath(const std::string& path, const TypeTable&);
Query QueryFor(const Identity&, const TypeTable&);

// Links `from` to `to` (a hard link, or a copy across file systems),
// through a temporary name so `to` is never seen half written.
bool PlaceFile(const std::string& from, const std::string& to, std::string& error);

class CslSlotSource : public SlotModelSource {
  public:
    using Report = std::function<void(const std::string&)>;
    // `report` gets each problem once (default: standard error).
    // Models are baked with `down` or `up` as the pilot's gear is.
    CslSlotSource(std::vector<std::string> folders, std::string root,
                  BakeState down = BakeState::GearDown(), Report report = {},
                  BakeState up = BakeState::GearUp());

    const Collection& Packages() const { return collection_; }
    const Matcher& Models() const { return matcher_; }

    std::string KeyFor(const Identity&, Gear, PluginPort::SlotMatch* match = nullptr) override;
    bool Fill(int slot, const Identity&, Gear, std::string& error) override;

    // The baked folder of a model in the cache, baked now if missing.
    bool Baked(const CslModel&, std::string& folder, std::string& error, Gear = Gear::Down);
    bool FillSlot(int slot, const CslModel&, std::string& error, Gear = Gear::Down);

  private:
    std::size_t Index(const CslModel&, Gear) const;
    const std::string& CacheName(const CslModel&, Gear);
    bool Bake(const CslModel&, Gear, const std::string& folder, std::string& error);

    std::vector<std::string> folders_;  // canonical, to keep textures inside
    std::string root_, cache_;
    BakeState states_[2];  // by Gear
    Report report_;
    Collection collection_;
    Matcher matcher_;
    std::vector<std::string> names_;  // per model and gear (Index): its cache folder's name
    std::vector<char> ready_;         // per model and gear: baked and checked this run
};

}  // namespace velmir::net::csl
