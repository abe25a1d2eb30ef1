// The verbs of uactool. Each takes the arguments after its name and returns the exit code.
#pragma once

namespace tools {

int RunDescribe(int argc, char** argv);
int RunGet(int argc, char** argv);
int RunSet(int argc, char** argv);
int RunList(int argc, char** argv);
int RunPlay(int argc, char** argv);
int RunRecord(int argc, char** argv);
int RunDemo(int argc, char** argv);

}  // namespace tools
