// The method table of VornaxSFTPMain, in definition order.
#pragma once

#include <iterator>

#include "function.hpp"
#include "object/lifecycle.hpp"
#include "params/params.hpp"
#include "session/session.hpp"

namespace sftp {

// name, line of its argument errors, parameter count (self included),
// parameter names, body.
inline constexpr MethodEntry kMethodTable[] = {
    {"__init__", 22, 2, {"self", "config"}, object::init},
    {"_cleanse_params", 46, 2, {"self", "config"}, params::cleanse_params},
    {"_set_params_dict", 75, 1, {"self"}, params::set_params_dict},
    {"_set_default_params", 83, 1, {"self"}, params::set_default_params},
    {"_connect", 89, 1, {"self"}, session::connect},
    {"_close", 96, 1, {"self"}, session::close},
    {"_remove", 100, 2, {"self", "path"}, session::remove},
    {"_rename", 104, 3, {"self", "ole_path", "new_path"}, session::rename},
    {"_posix_rename", 108, 3, {"self", "ole_path", "new_path"}, session::posix_rename},
    {"_mkdir", 112, 2, {"self", "path"}, session::mkdir},
    {"_rmdir", 116, 2, {"self", "path"}, session::rmdir},
    {"_stat", 120, 2, {"self", "file_path"}, session::stat},
    {"_normalize", 123, 2, {"self", "path"}, session::normalize},
    {"_chdir", 126, 2, {"self", "path"}, session::chdir},
    {"_upload", 130, 3, {"self", "src_file", "dsc_path"}, session::upload},
    {"_download", 137, 3, {"self", "src_file", "dsc_path"}, session::download},
    {"__del__", 144, 1, {"self"}, object::del},
};

inline constexpr int kMethodCount = static_cast<int>(std::size(kMethodTable));
static_assert(kMethodCount <= kMaxMethods);

}  // namespace sftp
