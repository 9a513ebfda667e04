// The page's files (zelflash/web/assets), built into the program by
// embed_assets.cmake, so that the page needs nothing from any other place.
#pragma once

#include <string_view>

struct web_asset {
    std::string_view path;  // "/index.html"
    const char* type;       // its Content-Type
    std::string_view body;
};

// The asset served at `path`; null when there is none.
const web_asset* web_asset_find(std::string_view path);
