// The key tool orvekind, shipped beside the client: "orvekind keypair" prints
// one JSON object with "private_key" and "public_key".
#pragma once

#include <QString>
#include <chrono>

inline constexpr std::chrono::milliseconds kKeyToolStartWait{3000};
inline constexpr std::chrono::milliseconds kKeyToolFinishWait{5000};

struct KeyToolRun {
  bool ran = false;  // started, finished in time, exited normally with code 0
  QString privateKey;
  QString publicKey;
};

// Standard error is not read; a tool still running at the end is killed.
KeyToolRun RunKeyTool(const QString& program);

// orvekind.exe on Windows, orvekind elsewhere, in the client's own folder.
QString KeyToolPath();
