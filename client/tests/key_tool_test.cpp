// The key tool runner against small scripts that stand in for orvekind.
#include "key_tool.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

TEST(KeyTool, OnlyANormalExitWithBothKeysCounts) {
  struct Row {
    const char* name;
    const char* script;  // nullptr: no tool at all
    bool ran;
    const char* privateKey;
    const char* publicKey;
  };
  const Row rows[] = {
      {"absent", nullptr, false, "", ""},
      {"pair", R"(echo '{"private_key":"PRIV","public_key":"PUB"}')", true, "PRIV", "PUB"},
      {"white space and stderr", R"(echo 'noise' >&2; printf '  \n {"public_key":"PUB","private_key":"PRIV","x":1} \n\n')",
       true, "PRIV", "PUB"},
      {"exit 1 with a pair", R"(echo '{"private_key":"PRIV","public_key":"PUB"}'; exit 1)", false, "", ""},
      {"only the private key", R"(echo '{"private_key":"PRIV"}')", true, "PRIV", ""},
      {"not JSON", "echo keys", true, "", ""},
      {"argument checked", R"([ "$#" = 1 ] && [ "$1" = keypair ] && echo '{"private_key":"A","public_key":"B"}')",
       true, "A", "B"},
      {"too slow", R"(sleep 6; echo '{"private_key":"PRIV","public_key":"PUB"}')", false, "", ""},
  };
  for (const Row& row : rows) {
    QTemporaryDir folder;
    const QString program = folder.path() + "/orvekind";
    if (row.script != nullptr) {
      QFile file(program);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(QByteArray("#!/bin/sh\n") + row.script + "\n");
      file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const KeyToolRun run = RunKeyTool(program);
    EXPECT_EQ(run.ran, row.ran) << row.name;
    EXPECT_EQ(run.privateKey, row.privateKey) << row.name;
    EXPECT_EQ(run.publicKey, row.publicKey) << row.name;
  }
}

}  // namespace

