# Writes OUTPUT, a C++ file holding each of FILES (paths below SOURCE_DIR) as a byte
# array with its name and type, for findWebAsset().
set(entries "")
set(arrays "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${SOURCE_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND arrays "const unsigned char asset${index}[] = {\n${bytes}0};\n")
  string(APPEND entries "    {\"${name}\", \"${type}\", {reinterpret_cast<const char*>(asset${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from tools/devserver/web by EmbedWebAssets.cmake.
#include \"WebAssets.h\"

#include <array>

namespace brindlow::devserver {
namespace {
${arrays}
const WebAsset assets[] = {
${entries}};
}  // namespace

std::optional<WebAsset> findWebAsset(std::string_view name) {
    for (const WebAsset& asset : assets)
        if (asset.name == name) return asset;
    return std::nullopt;
}

}  // namespace brindlow::devserver
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
