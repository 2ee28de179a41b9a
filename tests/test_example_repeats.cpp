// Every shipped example run twice with the same seed, each time in a fresh
// directory the way a user runs it: the same exit status, console text
// (timing lines aside), warnings and result files byte for byte, and the same
// manifest apart from where and when the run took place.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "RunComparison.h"
#include "TestSupport.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

// Runs example `name` in a fresh directory holding every example input.
Outcome runExample(const std::string& name) {
    ScratchDir dir;
    copyExamples(dir);
    Outcome outcome{runProgram(dir.path(), name + "\n"), resultsIn(dir.path(), exampleInputs()), ""};
    for (const std::string& path : filesUnder(dir.path())) {
        if (isRunManifest(path)) outcome.manifest = readText(dir.file(path));
    }
    return outcome;
}

// The manifest without what differs between two runs of one input: the
// directory it ran in and its clock times.
Json withoutTimeAndPlace(const std::string& manifest) {
    Json json = Json::parse(manifest);
    for (const char* key : {"working_directory", "start_time", "end_time"}) {
        EXPECT_TRUE(json.contains(key)) << key;
        json.erase(key);
    }
    return json;
}

}  // namespace

TEST(ExampleRepeats, EveryExampleWritesTheSameBytesTwice) {
    const std::vector<std::string> examples = runnableExamples();
    ASSERT_GE(examples.size(), 4u);
    for (const std::string& name : examples) {
        SCOPED_TRACE(name);
        const Outcome first = runExample(name);
        const Outcome second = runExample(name);
        ASSERT_EQ(first.run.status, 0) << first.run.err;
        ASSERT_FALSE(first.files.empty());
        expectSameRun(second, first, name);
        EXPECT_EQ(withoutTimeAndPlace(second.manifest), withoutTimeAndPlace(first.manifest));
    }
}
