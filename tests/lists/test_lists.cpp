// Tests of the paused-distribution lists: the in-memory list, the stored
// "_pausedQueue" multi-string, its parser and its rewrite after a partial resume.
#include "test_support.h"
#include "utils.h"
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>
#include <random>
#include <vector>

using namespace kvdtest;

namespace {

struct Entry {
    std::string epname;
    std::string distID;
    int count;
    bool operator==(const Entry &other) const
    {
        return epname == other.epname && distID == other.distID && count == other.count;
    }
};

std::ostream &operator<<(std::ostream &out, const Entry &entry)
{
    return out << "{" << entry.epname << ", " << entry.distID << ", " << entry.count << "}";
}

std::vector<Entry> entriesOf(const paused_distribution_s *list)
{
    std::vector<Entry> entries;
    for (DWORD i = 0; i < list->size; i++)
        entries.push_back({list->list[i].epname, list->list[i].distID, list->list[i].maxLoginAllowed});
    return entries;
}

std::vector<Entry> storedEntries()
{
    paused_distribution_s *list = retrievePausedList();
    EXPECT_NE((paused_distribution_s *)NULL, list);
    std::vector<Entry> entries = list ? entriesOf(list) : std::vector<Entry>();
    freePausedListStructure(list);
    return entries;
}

std::string storedQueue()
{
    DWORD type = 0;
    std::string bytes;
    EXPECT_TRUE(getRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, &type, &bytes)) << "_pausedQueue missing";
    EXPECT_EQ((DWORD)REG_MULTI_SZ, type);
    return bytes;
}

void storeQueue(const std::string &bytes)
{
    setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ, bytes);
}

paused_distribution_s *newList()
{
    paused_distribution_s *list = (paused_distribution_s *)calloc(1, sizeof(paused_distribution_s));
    initializeBuffer(list);
    return list;
}

class Lists : public RegistryTest {
protected:
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
    }
    std::string traceOn(const char *name)
    {
        std::string path = enableTrace(2, name);
        TRACE_INITIALIZE();
        return path;
    }
};

TEST_F(Lists, test_first_entry_on_absent_value_is_byte_exact)
{
    EXPECT_EQ(1, addToPersistentPausedList("localhost", "D1", 3));
    EXPECT_EQ(multiString({"localhost", "D1", "3"}), storedQueue());
}

TEST_F(Lists, test_append_to_one_entry_value_follows_its_count)
{
    storeQueue(multiString({"localhost", "D1", "3"}));
    EXPECT_EQ(1, addToPersistentPausedList("ep2", "D7", -1));
    EXPECT_EQ(multiString({"localhost", "D1", "3", "ep2", "D7", "-1"}), storedQueue());
    std::vector<Entry> expected = {{"localhost", "D1", 3}, {"ep2", "D7", -1}};
    EXPECT_EQ(expected, storedEntries());
}

// An entry appended after an empty first string would never be read back.
TEST_F(Lists, test_append_to_value_without_entries_starts_afresh)
{
    for (const std::string &empty : {std::string(), std::string(1, '\0'), std::string(2, '\0')}) {
        storeQueue(empty);
        EXPECT_EQ(1, addToPersistentPausedList("localhost", "D1", 0));
        EXPECT_EQ(multiString({"localhost", "D1", "0"}), storedQueue()) << empty.size();
    }
}

TEST_F(Lists, test_entry_with_empty_text_is_not_stored)
{
    storeQueue(multiString({"localhost", "D1", "3"}));
    EXPECT_EQ(0, addToPersistentPausedList("localhost", "", 3));
    EXPECT_EQ(0, addToPersistentPausedList("", "D2", 3));
    EXPECT_EQ(multiString({"localhost", "D1", "3"}), storedQueue());
}

TEST_F(Lists, test_eleventh_add_grows_the_list_by_ten)
{
    std::string trace = traceOn("grow.log");
    paused_distribution_s *list = newList();
    EXPECT_EQ(10u, list->maximum);
    EXPECT_EQ(0u, list->size);
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(1, addToList(list, "localhost", ("D" + std::to_string(i)).c_str(), i));
    EXPECT_FALSE(fileContains(trace, "size=maximum, relocating"));
    ASSERT_EQ(1, addToList(list, "ep", "D10", -7));
    EXPECT_TRUE(fileContains(trace, "[I] addToList size=maximum, relocating"));
    EXPECT_EQ(20u, list->maximum);
    EXPECT_EQ(11u, list->size);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ((Entry{"localhost", "D" + std::to_string(i), i}), entriesOf(list)[i]);
    EXPECT_EQ((Entry{"ep", "D10", -7}), entriesOf(list)[10]);
    freePausedListStructure(list);
}

TEST_F(Lists, test_add_to_list_copies_the_texts)
{
    paused_distribution_s *list = newList();
    char epname[] = "localhost";
    char distID[] = "D1";
    ASSERT_EQ(1, addToList(list, epname, distID, 2));
    epname[0] = 'X';
    distID[0] = 'X';
    EXPECT_STREQ("localhost", list->list[0].epname);
    EXPECT_STREQ("D1", list->list[0].distID);
    freePausedListStructure(list);
    freePausedListStructure(NULL);
}

TEST_F(Lists, test_second_entry_missing_its_count_keeps_the_first)
{
    std::string trace = traceOn("missing_count.log");
    storeQueue(multiString({"localhost", "D1", "3", "localhost", "D2"}));
    paused_distribution_s *list = newList();
    EXPECT_EQ(0, initializePausedList(list));
    std::vector<Entry> expected = {{"localhost", "D1", 3}};
    EXPECT_EQ(expected, entriesOf(list));
    freePausedListStructure(list);
    EXPECT_TRUE(fileContains(trace, "[E] initializePausedList ERROR: invalid persistent list structure!"));
}

TEST_F(Lists, test_empty_first_string_is_an_empty_list)
{
    storeQueue(multiString({"", "localhost", "D1", "3"}));
    paused_distribution_s *list = newList();
    EXPECT_EQ(1, initializePausedList(list));
    EXPECT_EQ(0u, list->size);
    freePausedListStructure(list);
}

TEST_F(Lists, test_absent_or_foreign_value_is_an_empty_list)
{
    std::string trace = traceOn("absent.log");
    paused_distribution_s *list = newList();
    EXPECT_EQ(1, initializePausedList(list));
    EXPECT_EQ(0u, list->size);
    setString(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, "localhost");
    EXPECT_EQ(1, initializePausedList(list));
    EXPECT_EQ(0u, list->size);
    freePausedListStructure(list);
    EXPECT_TRUE(fileContains(trace, "[I] initializePausedList no pending distribution retrieved locally"));
}

TEST_F(Lists, test_is_contained_compares_whole_items)
{
    EXPECT_EQ(1, isContained("D1", "D1,D2"));
    EXPECT_EQ(1, isContained("D2", "D1,D2"));
    EXPECT_EQ(0, isContained("D1", "D10,D2"));
    EXPECT_EQ(0, isContained("D1", "D2, D1"));
    EXPECT_EQ(1, isContained(" D1", "D2, D1"));
    EXPECT_EQ(0, isContained("D1", ""));
    EXPECT_EQ(0, isContained("d1", "D1"));
    EXPECT_EQ(1, isContained("D1", ",,D1,"));
    EXPECT_EQ(0, isContained("", "D1,,D2"));
    EXPECT_EQ(0, isContained("D1", NULL));
}

TEST_F(Lists, test_rewrite_with_null_fail_list_removes_the_value)
{
    std::string trace = traceOn("rewrite_null.log");
    storeQueue(multiString({"localhost", "D1", "3"}));
    paused_distribution_s *list = retrievePausedList();
    EXPECT_EQ(1, updatePersistentPausedList(list, NULL, "D1"));
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE));
    EXPECT_EQ(1u, list->size) << "the given list is not changed";
    freePausedListStructure(list);
    EXPECT_TRUE(fileContains(trace, "[I] updatePersistenPausedtList no paused ditribution is valid, removing all"));
    EXPECT_TRUE(fileContains(trace, "[I] updatePersistenPausedtList return data = 1"));
}

TEST_F(Lists, test_rewrite_keeps_entries_both_failed_and_still_paused)
{
    std::string trace = traceOn("rewrite_keep.log");
    storeQueue(multiString({"localhost", "D1", "3", "localhost", "D2", "1"}));
    paused_distribution_s *list = retrievePausedList();
    EXPECT_EQ(0, updatePersistentPausedList(list, "D2", "D1,D2"));
    EXPECT_EQ(multiString({"localhost", "D2", "1"}), storedQueue());
    EXPECT_TRUE(fileContains(trace, "[I] updatePersistenPausedtList found 'D2, adding"));

    // Failed but no longer paused, or paused but not failed: nothing stays.
    EXPECT_EQ(1, updatePersistentPausedList(list, "D1", "D2"));
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE));
    EXPECT_EQ(2u, list->size);
    freePausedListStructure(list);
}

// A partly failed resume rewrites the list: every stored count must come back as it was.
TEST_F(Lists, test_rewrite_preserves_stored_counts)
{
    const int counts[] = {-2, 0, 3, 100, -10, 12345, 2147483647, -2147483647 - 1};
    std::vector<std::string> texts;
    std::string failList;
    for (int count : counts) {
        std::string distID = "D" + std::to_string(texts.size() / 3);
        ASSERT_EQ(1, addToPersistentPausedList("localhost", distID.c_str(), count));
        texts.insert(texts.end(), {"localhost", distID, std::to_string(count)});
        failList += distID + ",";
    }
    EXPECT_EQ(multiString(texts), storedQueue()) << "counts stored with all their digits";

    paused_distribution_s *list = retrievePausedList();
    ASSERT_EQ(sizeof(counts) / sizeof(counts[0]), list->size);
    for (DWORD i = 0; i < list->size; i++)
        EXPECT_EQ(counts[i], list->list[i].maxLoginAllowed) << i;
    EXPECT_EQ(0, updatePersistentPausedList(list, failList.c_str(), failList.c_str()));
    freePausedListStructure(list);
    EXPECT_EQ(multiString(texts), storedQueue()) << "the rewrite stores the same counts";
}

TEST_F(Lists, test_count_texts_that_are_not_decimals_read_as_0)
{
    const char *texts[] = {"abc", "1x", "+3", " 3", "-", "99999999999", "2147483648", "007"};
    const int values[] = {0, 0, 0, 0, 0, 0, 0, 7};
    std::vector<std::string> stored;
    for (const char *text : texts)
        stored.insert(stored.end(), {"ep", "D", text});
    storeQueue(multiString(stored));
    std::vector<Entry> entries = storedEntries();
    ASSERT_EQ(sizeof(texts) / sizeof(texts[0]), entries.size());
    for (size_t i = 0; i < entries.size(); i++)
        EXPECT_EQ(values[i], entries[i].count) << texts[i];
}

TEST_F(Lists, test_empty_persistent_list_removes_the_value)
{
    storeQueue(multiString({"localhost", "D1", "3"}));
    EXPECT_EQ(1, emptyPersistentPausedList());
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE));
    EXPECT_EQ(0, emptyPersistentPausedList());
}

// ---- the parser against arbitrary stored bytes ----

// An independent reading of the format: the strings before the first double
// zero byte (the bytes count as followed by two zero bytes), taken in threes.
bool referenceParse(const std::string &bytes, std::vector<Entry> *entries)
{
    std::string text = bytes + std::string(2, '\0');
    std::string strings = text.substr(0, text.find(std::string(2, '\0')));
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= strings.size() && !strings.empty()) {
        size_t end = strings.find('\0', start);
        if (end == std::string::npos)
            end = strings.size();
        fields.push_back(strings.substr(start, end - start));
        start = end + 1;
    }
    for (size_t i = 0; i < fields.size() && !fields[i].empty(); i += 3) {
        if (i + 2 >= fields.size() || fields[i + 1].empty() || fields[i + 2].empty())
            return false;
        const std::string &count = fields[i + 2];
        size_t digits = count[0] == '-' ? 1 : 0;
        bool decimal = count.size() > digits && count.size() - digits <= 10
                       && count.find_first_not_of("0123456789", digits) == std::string::npos;
        long long value = decimal ? std::stoll(count) : 0;
        if (value > 2147483647LL || value < -2147483648LL)
            value = 0;
        entries->push_back({fields[i], fields[i + 1], (int)value});
    }
    return true;
}

std::string randomBytes(std::mt19937 &random)
{
    static const char alphabet[] = {'\0', '\0', '\0', 'a', 'b', '-', '0', '1', '7', '9'};
    std::uniform_int_distribution<int> pick(0, 99);
    size_t length = pick(random) < 90 ? pick(random) % 40 : 100 + pick(random) * 3;
    std::string bytes;
    for (size_t i = 0; i < length; i++) {
        int roll = pick(random);
        bytes += roll < 90 ? alphabet[roll % sizeof(alphabet)] : (char)(1 + pick(random) * 2);
    }
    return bytes;
}

// The bytes end right before a page that may not be read: a read past them faults.
struct GuardedBytes {
    char *pages = NULL;
    SYSTEM_INFO info;
    explicit GuardedBytes()
    {
        GetSystemInfo(&info);
        pages = (char *)VirtualAlloc(NULL, 2 * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        DWORD old;
        VirtualProtect(pages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old);
    }
    ~GuardedBytes() { VirtualFree(pages, 0, MEM_RELEASE); }
    const char *place(const std::string &bytes)
    {
        char *at = pages + info.dwPageSize - bytes.size();
        memcpy(at, bytes.data(), bytes.size());
        return at;
    }
};

TEST_F(Lists, test_random_stored_bytes_parse_within_their_bounds)
{
    const unsigned seed = GetTickCount();
    std::mt19937 random(seed);
    GuardedBytes guarded;
    ASSERT_NE((char *)NULL, guarded.pages);
    int invalid = 0, withEntries = 0;
    for (int round = 0; round < 3000; round++) {
        storeQueue(randomBytes(random));
        DWORD type;
        std::string stored;
        ASSERT_TRUE(getRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, &type, &stored));
        std::vector<Entry> expected;
        bool wellFormed = referenceParse(stored, &expected);
        invalid += !wellFormed;
        withEntries += !expected.empty();

        paused_distribution_s *list = newList();
        ASSERT_EQ(wellFormed ? 1 : 0, initializePausedList(list)) << "seed " << seed << " round " << round;
        ASSERT_EQ(expected, entriesOf(list)) << "seed " << seed << " round " << round;
        freePausedListStructure(list);

        list = newList();
        ASSERT_EQ(wellFormed ? 1 : 0, parsePausedQueue(list, guarded.place(stored), (DWORD)stored.size()));
        ASSERT_EQ(expected, entriesOf(list)) << "seed " << seed << " round " << round;
        freePausedListStructure(list);
    }
    // The generator must reach both outcomes, or the test proves little.
    EXPECT_GT(invalid, 100);
    EXPECT_GT(withEntries, 100);
}

}  // namespace
