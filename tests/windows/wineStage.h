// What the Windows client of the Wine stage and its Linux driver agree on:
// the client's identity, its log folder and the lines it prints.
#pragma once

namespace winestage {

inline constexpr char kApp[] = "client";
inline constexpr char kVersion[] = "5.2.1";
inline constexpr char kClient[] = "PC-WIN";
inline constexpr char kClientIp[] = "127.0.0.1";
inline constexpr char kNick[] = "alice";

// The log folder below the folder given on the command line: "用户/Café/日志".
inline constexpr char kLogFolder[] = "\xE7\x94\xA8\xE6\x88\xB7/Caf\xC3\xA9/\xE6\x97\xA5\xE5\xBF\x97";
// Put into the log folder by the driver before the client starts.
inline constexpr char kDumpName[] = "confclient \xE5\xB4\xA9\xE6\xBA\x83.dmp";  // "崩溃"
inline constexpr char kAttachmentName[] = "shot.png";

// Exit statuses of the client.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kRefused = 3;  // the server's certificate or name was refused

}  // namespace winestage
