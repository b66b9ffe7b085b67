// A machine for the inventory tests: a machine file in a scratch folder, answered by the machine
// model engine, whose devices, device tree and drive types are installed for the life of the object
// (on both platforms, so the Windows build runs the same inventory over the same machine).
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "../support/fresh_machine.h"
#include "platform/model/engine.h"
#include "platform/model/families.h"
#include "platform/platform.h"

namespace inventory_test {

inline std::string read_fixture(const std::string& name)
{
    std::ifstream in(std::filesystem::path(ZELMUSB_FIXTURES) / "usbinventory" / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ModelMachine {
public:
    explicit ModelMachine(const std::string& machine_json)
        : path_(folder_.path() / "machine.json"),
          engine_(std::make_unique<platform::model::PathStore>(path_)),
          devices_(engine_),
          tree_(engine_),
          files_(engine_, platform::files()),
          o_devices_(&platform::Platform::devices, devices_),
          o_tree_(&platform::Platform::devicetree, tree_),
          o_files_(&platform::Platform::files, files_)
    {
        write(machine_json);
    }

    void write(const std::string& machine_json)
    {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << machine_json;
    }
    std::string read() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    platform::model::Engine& engine() { return engine_; }
    const platform_test::TempFolder& folder() const { return folder_; }

private:
    platform_test::TempFolder folder_;
    std::filesystem::path path_;
    platform::model::Engine engine_;
    platform::model::ModelDevices devices_;
    platform::model::ModelDeviceTree tree_;
    platform::model::ModelFiles files_;
    platform::Override<platform::Devices> o_devices_;
    platform::Override<platform::DeviceTree> o_tree_;
    platform::Override<platform::Files> o_files_;
};

} // namespace inventory_test
