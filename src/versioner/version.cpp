// Version: a BaseVersion that steps to its neighbouring numbers.
#include "classes.hpp"

namespace kv {
namespace {

const std::vector<MemberDef> members = {};

}  // namespace

const ClassDef version_class = {"Version", 102, members};

}  // namespace kv
