// platform_mapping_test.cpp - a mapped file that shrinks fails the work on it, not the process.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "platform/platform.h"
#include "test_zip_builder.h"

namespace {

bool sum_mapping(void* context) {
  const MappedRegion* region = static_cast<const MappedRegion*>(context);
  volatile unsigned sum = 0;
  for (std::size_t i = 0; i < region->length; i += 512) sum = sum + region->data[i];
  return true;
}

TEST(PlatformMappingTest, FileCutShortUnderTheMappingFailsTheWork) {
  TempArchive file(std::string(3 << 16, 'm'));
  MappedRegion region;
  ASSERT_TRUE(platform_map_input(file.stream(), 0, 3 << 16, &region));
  EXPECT_TRUE(platform_run_on_mappings(sum_mapping, &region));
  ASSERT_EQ(truncate(file.path().c_str(), 4096), 0);
  EXPECT_FALSE(platform_run_on_mappings(sum_mapping, &region));
  EXPECT_FALSE(platform_run_on_mappings(sum_mapping, &region)) << "a second fault is caught as well";
  platform_unmap(&region);
}

}  // namespace
