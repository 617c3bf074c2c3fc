#include "web/Pages.h"

namespace corvexweb {

const Page* FindPage(std::string_view path)
{
  if (path == "/")
    path = "/index.html";
  for (const Page& page : EmbeddedPages())
    if (page.path == path)
      return &page;
  return nullptr;
}

const char* ContentTypeOf(std::string_view path)
{
  if (path.ends_with(".html") || path == "/")
    return "text/html; charset=utf-8";
  if (path.ends_with(".js"))
    return "text/javascript; charset=utf-8";
  if (path.ends_with(".css"))
    return "text/css; charset=utf-8";
  if (path.ends_with(".svg"))
    return "image/svg+xml";
  return "application/octet-stream";
}

}  // namespace corvexweb
