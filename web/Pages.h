#pragma once
// The console's pages (HTML, CSS, JavaScript), compiled into the program from web/pages.
#include <span>
#include <string_view>

namespace corvexweb {

struct Page
{
  std::string_view path;  // "/index.html"
  std::string_view body;
};

std::span<const Page> EmbeddedPages();

// The page at a path ("/" is "/index.html"), or null.
const Page* FindPage(std::string_view path);
// The media type a browser needs for the page's name.
const char* ContentTypeOf(std::string_view path);

}  // namespace corvexweb
