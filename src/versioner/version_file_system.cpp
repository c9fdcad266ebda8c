// VersionFileSystem: the versions of one name that exist on disk.
#include "classes.hpp"

namespace kv {
namespace {

const std::vector<MemberDef> members = {};

}  // namespace

const ClassDef version_file_system_class = {"VersionFileSystem", 130, members};

}  // namespace kv
