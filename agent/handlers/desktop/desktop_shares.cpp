// Default folders, shared folders and folder listings for the desktop program.
#include "agent/db/local_db.h"
#include "agent/handlers/desktop/desktop_internal.h"
#include "agent/net/session/wire_text.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"

namespace ks::desktop {

using ks::session::FromWireUtf8;
using ks::session::ToWireUtf8;

namespace {

// A text reply capped below the u16 length at a line boundary; the cut is logged.
std::vector<uint8_t> MakeLoggedLinesReply(const MsgHead& request, const std::string& text,
                                          const char* what) {
  bool cut = false;
  std::vector<uint8_t> reply = ks::wire::desktop::MakeLinesReply(request, text, &cut);
  if (cut)
    KS_SHOW_LOG(LOG_LEVEL_WARNING, "%s reply cut from %zu to %zu bytes", what, text.size(),
                reply.size() - ks::wire::kMsgHeadSize);
  return reply;
}

}  // namespace

KS_DEFINE_DESKTOP_HANDLER(Show_GetDefShare) {
  // Whole texts: each is cut in its field only after the conversion, at a character.
  DefShareInfo dirs;
  ParseDefaultDir(dirs);
  const std::string* source[kDefShareCount] = {&dirs.def,       &dirs.def_pic, &dirs.def_music,
                                               &dirs.def_video, &dirs.def_doc, &dirs.def_instant};
  std::vector<std::string> folders;
  for (const std::string* s : source) folders.push_back(ToWireUtf8(*s));
  *reply = MakeGetDefShareReply(*head, folders);
  // The texts as sent (cut in their fields), for the log.
  std::vector<std::string> text;
  ParseGetDefShareReply(reply->data() + ks::wire::kMsgHeadSize, reply->size() - ks::wire::kMsgHeadSize, &text);
  KS_SHOW_LOG(LOG_LEVEL_INFO,
              "Show_GetDefShare Default %s, DefaultDoc %s, DefaultMusic %s, DefaultPic %s, "
              "DefaultVideo %s, DefInstant %s",
              text[0].c_str(), text[4].c_str(), text[2].c_str(), text[1].c_str(), text[3].c_str(),
              text[5].c_str());
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_SetDefShare) {
  if (!body || bodyLength == 0) {
    KS_SHOW_LOG(LOG_LEVEL_ERROR, "%s", kNoBody);
    return KS_NULL_INPUT;
  }
  std::vector<std::string> d = ParseDefShareBlock(body, bodyLength);
  for (std::string& s : d) s = FromWireUtf8(s);
  KS_SHOW_LOG(LOG_LEVEL_INFO,
              "Show_SetDefShare Default %s, DefaultDoc %s, DefaultMusic %s, DefaultPic %s, "
              "DefaultVideo %s, DefInstant %s",
              d[0].c_str(), d[4].c_str(), d[2].c_str(), d[1].c_str(), d[3].c_str(), d[5].c_str());
  DefShareInfo dirs{d[0], d[1], d[2], d[3], d[4], d[5]};
  int rc = SetDefaultDir(dirs);
  if (rc != 0) KS_SHOW_LOG(LOG_LEVEL_ERROR, "set def dir error.");
  *reply = MakeResultReply(*head, static_cast<uint32_t>(rc));
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_GetShare) {
  std::vector<std::string> paths;
  ParseShareInfo(paths);
  std::string text;
  for (const std::string& p : paths) text += p + "\r\n";
  text = ToWireUtf8(text);
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetShare %s", text.c_str());
  *reply = MakeLoggedLinesReply(*head, text, "Show_GetShare");
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_SetShare) {
  std::string text = body ? ks::net::FieldText(body, bodyLength) : std::string();
  text = FromWireUtf8(text);
  std::vector<std::string> paths =
      SplitShareText(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_SetShare:");
  for (const std::string& p : paths) KS_SHOW_LOG(LOG_LEVEL_INFO, "%s", p.c_str());
  int rc = SetShareInfo(paths);
  *reply = MakeResultReply(*head, static_cast<uint32_t>(rc));
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_GetPath) {
  std::string text;
  if (!body || bodyLength == 0) {
    // One root on this system.
    text = "/\r\n";
  } else {
    bool tooLong = false;
    std::string path = ParseGetPathBody(body, bodyLength, &tooLong);
    if (tooLong)
      KS_SHOW_LOG(LOG_LEVEL_WARNING, "Show_GetPath path of %zu bytes refused",
                  ks::wire::FieldText(body, bodyLength).size());
    path = FromWireUtf8(path);
    std::vector<std::string> names;
    if (!path.empty() && GetSubDirList(path, names) == 0) {
      std::string prefix = path.back() == '/' ? path : path + "/";
      for (const std::string& n : names) text += prefix + n + "\r\n";
    }
  }
  text = ToWireUtf8(text);
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetPath %s", text.c_str());
  *reply = MakeLoggedLinesReply(*head, text, "Show_GetPath");
  return KS_OK;
}

}  // namespace ks::desktop
