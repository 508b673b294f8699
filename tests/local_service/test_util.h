// Small helpers shared by the service's tests.
#ifndef TESTS_LOCAL_SERVICE_TEST_UTIL_H_
#define TESTS_LOCAL_SERVICE_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "local_service/envelope.h"
#include "local_service/json_util.h"
#include "local_service/local_service.h"
#include "raw_client.h"

namespace local_service_test {

inline int64_t IntOf(const std::string& json, const char* key) {
  rapidjson::Document doc;
  if (!local_service::ParseJsonObject(json, &doc)) return -999;
  return local_service::GetInt64(doc, key).value_or(-999);
}

inline std::string StrOf(const std::string& json, const char* key) {
  rapidjson::Document doc;
  if (!local_service::ParseJsonObject(json, &doc)) return "<bad json>";
  return local_service::GetString(doc, key).value_or("<absent>");
}

inline bool HasWarning(const local_service::LocalService& svc, const std::string& part) {
  for (auto& w : svc.Warnings()) {
    if (w.find(part) != std::string::npos) return true;
  }
  return false;
}

class ServiceTest : public ::testing::Test {
 protected:
  explicit ServiceTest(local_service::Options options = TestOptions()) : svc_(options) {}
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  local_service::LocalService svc_;
};

}  // namespace local_service_test

#endif  // TESTS_LOCAL_SERVICE_TEST_UTIL_H_
