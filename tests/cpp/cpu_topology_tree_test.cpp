// kern.sched.topology_spec's whole text on a captured tree of two unlike
// packages: ids in two mask words, an offline CPU that cache lists still
// name, instruction caches that split nothing, a package of one core.
#include <string>
#include <vector>

#include "captured_tree.h"
#include "freebsd/sys/sysctl.h"

namespace {

class TopologyTree : public CapturedTreeTest {
protected:
    void cpu(int id, int package, const std::string& siblings, const std::vector<std::string>& caches) {
        const std::string dir = "sys/devices/system/cpu/cpu" + std::to_string(id) + "/";
        write_file(dir + "topology/physical_package_id", std::to_string(package) + "\n");
        write_file(dir + "topology/thread_siblings_list", siblings + "\n");
        for (std::size_t i = 0; i < caches.size(); ++i) {
            // "level type shared-list"
            const std::string index = dir + "cache/index" + std::to_string(i) + "/";
            const auto a = caches[i].find(' '), b = caches[i].rfind(' ');
            write_file(index + "level", caches[i].substr(0, a) + "\n");
            write_file(index + "type", caches[i].substr(a + 1, b - a - 1) + "\n");
            write_file(index + "shared_cpu_list", caches[i].substr(b + 1) + "\n");
        }
    }
};

TEST_F(TopologyTree, TwoUnlikePackagesGiveTheWholeText) {
    write_file("sys/devices/system/cpu/online", "0-3,64-65\n");
    for (int id = 0; id < 4; ++id) {
        const std::string core = id < 2 ? "0-1" : "2-3";
        cpu(id, 0, core,
            {"1 Data " + core, "1 Instruction " + std::to_string(id), "2 Unified " + core, "3 Unified 0-4"});
    }
    cpu(4, 0, "4", {"1 Data 4", "3 Unified 0-4"});  // offline
    for (int id : {64, 65}) cpu(id, 1, "64-65", {"1 Data 64-65", "2 Unified 64-65", "3 Unified 64-65"});
    use_as_root();

    std::size_t len = 0;
    ASSERT_EQ(freebsd::sysctlbyname("kern.sched.topology_spec", nullptr, &len, nullptr, 0), 0);
    std::vector<char> text(len);
    ASSERT_EQ(freebsd::sysctlbyname("kern.sched.topology_spec", text.data(), &len, nullptr, 0), 0);
    ASSERT_EQ(len, text.size());
    EXPECT_EQ(std::string(text.data(), len), std::string(R"(<groups>
 <group level="1" cache-level="0">
  <cpu count="6" mask="f,3,0,0,0,0,0,0,0,0,0,0,0,0,0,0">0, 1, 2, 3, 64, 65</cpu>
  <children>
   <group level="2" cache-level="3">
    <cpu count="4" mask="f,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0">0, 1, 2, 3</cpu>
    <children>
     <group level="3" cache-level="2">
      <cpu count="2" mask="3,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0">0, 1</cpu>
      <flags><flag name="THREAD">THREAD group</flag><flag name="SMT">SMT group</flag></flags>
     </group>
     <group level="3" cache-level="2">
      <cpu count="2" mask="c,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0">2, 3</cpu>
      <flags><flag name="THREAD">THREAD group</flag><flag name="SMT">SMT group</flag></flags>
     </group>
    </children>
   </group>
   <group level="2" cache-level="3">
    <cpu count="2" mask="0,3,0,0,0,0,0,0,0,0,0,0,0,0,0,0">64, 65</cpu>
    <flags><flag name="THREAD">THREAD group</flag><flag name="SMT">SMT group</flag></flags>
   </group>
  </children>
 </group>
</groups>
)") + '\0');
}

}  // namespace
