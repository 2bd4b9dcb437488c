#pragma once

// How Tessiv names itself to the desktop; the desktop entry and icon are installed under these names.
namespace desktop_ids {

inline constexpr const char* kAppName = "Tessiv";
inline constexpr const char* kDesktopEntry = "org.example.Tessiv";
inline constexpr const char* kIconName = "org.example.Tessiv";
inline constexpr const char* kAlarmSummary = "有服务器异常";
inline constexpr const char* kNetworkDownSummary = "所有服务器都无法连接，请检查本机网络";

}  // namespace desktop_ids
