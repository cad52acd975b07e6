// The Windows build reaches CLI11 and nlohmann/json, and only them, of the host's headers.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <string>

TEST(HostHeaders, CommandLineAndJsonWork) {
  CLI::App App{"zolctl"};
  double Filter = 0;
  App.add_option("--filter", Filter);
  App.parse("--filter 2.5", false);
  EXPECT_EQ(Filter, 2.5);
  const nlohmann::json Json = nlohmann::json::parse(R"({"tag":"param\u00e8tres","filter":2.5})");
  EXPECT_EQ(Json["filter"].get<double>(), 2.5);
  EXPECT_EQ(Json["tag"].get<std::string>(), "param\xC3\xA8tres");
}
