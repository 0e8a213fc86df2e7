// metrics_text read back by a small parser of the Prometheus text exposition format, and the
// quantiles of a latency histogram.
//
// GCC 12 with the sanitizers warns, wrongly, of uninitialised std::function state inside
// <regex>; the pragma comes before every include so that it covers their lines too.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tyx/health.hpp"

namespace tyx {
namespace {

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// Parses `text`, failing the test at the first line that breaks the format: every sample's
// family is declared once by TYPE (after its HELP) before its samples, which come together;
// names and labels are well formed, label values escaped; a histogram's buckets rise to +Inf,
// which equals its count.
std::vector<Sample> parse_exposition(const std::string& text) {
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
    static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
    static const std::regex label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)\"(,|$))");
    std::vector<Sample> samples;
    std::map<std::string, std::string> types;
    std::set<std::string> helped, ended;
    std::string family;
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        SCOPED_TRACE(line);
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(helped.insert(m[1]).second);
            continue;
        }
        if (std::regex_match(line, m, type)) {
            EXPECT_TRUE(helped.count(m[1]));
            EXPECT_TRUE(types.emplace(m[1], m[2]).second);
            if (!family.empty()) ended.insert(family);
            family = m[1];
            continue;
        }
        if (!std::regex_match(line, m, sample)) {
            ADD_FAILURE() << "not a sample";
            continue;
        }
        Sample s{m[1], {}, 0};
        std::string name = s.name;
        if (types.count(family) && types[family] == "histogram")
            for (const char* suffix : {"_bucket", "_sum", "_count"})
                if (name == family + suffix) name = family;
        EXPECT_EQ(name, family) << "a sample outside its family";
        EXPECT_FALSE(ended.count(name));
        std::string labels = m[3];
        for (std::smatch l; !labels.empty(); labels = l.suffix()) {
            if (!std::regex_search(labels, l, label) || l.position(0) != 0) {
                ADD_FAILURE() << "bad labels: " << labels;
                break;
            }
            const std::string raw = l[2];
            std::string value;
            for (std::size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] != '\\') {
                    value += raw[i];
                    continue;
                }
                ++i;
                value += raw[i] == 'n' ? '\n' : raw[i];
            }
            EXPECT_TRUE(s.labels.emplace(l[1], value).second);
        }
        std::size_t used = 0;
        const std::string v = m[4];
        s.value = v == "+Inf" ? 1e308 : std::stod(v, &used);
        if (v != "+Inf") {
            EXPECT_EQ(used, v.size());
        }
        samples.push_back(std::move(s));
    }
    // Histograms: per label set without le, cumulative buckets ending in +Inf == count.
    std::map<std::string, std::vector<const Sample*>> buckets;
    std::map<std::string, double> counts;
    for (const auto& s : samples) {
        auto key_labels = s.labels;
        key_labels.erase("le");
        std::string key = s.name.substr(0, s.name.rfind('_'));
        for (const auto& [k, v] : key_labels) key += "|" + k + "=" + v;
        if (s.name.ends_with("_bucket")) buckets[key].push_back(&s);
        if (s.name.ends_with("_count") && types.count(s.name.substr(0, s.name.size() - 6)))
            counts[key] = s.value;
    }
    for (const auto& [key, list] : buckets) {
        SCOPED_TRACE(key);
        for (std::size_t i = 1; i < list.size(); ++i) EXPECT_LE(list[i - 1]->value, list[i]->value);
        EXPECT_EQ(list.back()->labels.at("le"), "+Inf");
        EXPECT_EQ(list.back()->value, counts.at(key));
    }
    return samples;
}

const Sample* find(const std::vector<Sample>& samples, const std::string& name,
                   const std::string& kind = {}) {
    for (const auto& s : samples)
        if (s.name == name && (kind.empty() || s.labels.at("kind") == kind)) return &s;
    return nullptr;
}

TEST(MetricsText, ParsesAsExpositionWithEscapedLabelsAndHistograms) {
    Health health;
    const std::string cluster = "a\"b\\c\nd";
    SessionHealth relay;
    relay.cluster = cluster;
    relay.kind = SessionKind::relay;
    relay.state = SessionState::up;
    relay.relay.published_messages = 7;
    relay.relay.kept_bytes = 300;
    SessionHealth center = relay;
    center.kind = SessionKind::center;
    center.shard = 2;
    center.state = SessionState::reconnecting;
    center.center.snapshot_latency.counts[3] = 2;
    center.center.snapshot_latency.counts[16] = 1;
    center.center.snapshot_latency.sum_us = 20'001'800;
    SessionHealth database = relay;
    database.kind = SessionKind::database;
    database.database.requests = 9;
    database.database.failures = 1;
    health.sessions = {relay, center, database};
    health.notifications.queued = 4;
    health.notifications.longest_wait = std::chrono::milliseconds(1500);

    const std::vector<Sample> samples = parse_exposition(metrics_text(health));
    ASSERT_FALSE(samples.empty());
    for (const auto& s : samples) {
        EXPECT_EQ(s.name.rfind("tyx_", 0), 0u) << s.name;
        if (s.name.rfind("tyx_notification_", 0) == 0) continue;
        EXPECT_EQ(s.labels.at("cluster"), cluster) << s.name;
        EXPECT_TRUE(s.labels.count("kind") && s.labels.count("shard")) << s.name;
    }
    ASSERT_TRUE(find(samples, "tyx_relay_published_messages_total"));
    EXPECT_EQ(find(samples, "tyx_relay_published_messages_total")->value, 7);
    EXPECT_EQ(find(samples, "tyx_relay_kept_bytes")->value, 300);
    EXPECT_EQ(find(samples, "tyx_session_up", "center")->value, 0);
    EXPECT_EQ(find(samples, "tyx_session_up", "center")->labels.at("shard"), "2");
    EXPECT_EQ(find(samples, "tyx_database_failures_total")->value, 1);
    EXPECT_EQ(find(samples, "tyx_center_snapshot_latency_seconds_count")->value, 3);
    EXPECT_DOUBLE_EQ(find(samples, "tyx_center_snapshot_latency_seconds_sum")->value, 20.0018);
    EXPECT_EQ(find(samples, "tyx_notification_queued")->value, 4);
    EXPECT_DOUBLE_EQ(find(samples, "tyx_notification_longest_wait_seconds")->value, 1.5);
    // The relay has no histogram and the center no relay counters.
    EXPECT_FALSE(find(samples, "tyx_relay_published_messages_total", "center"));
}

TEST(LatencyHistogram, QuantilesAreTheBoundsOfTheirBuckets) {
    LatencyHistogram h;
    EXPECT_EQ(h.quantile(0.5).count(), 0);
    h.counts[0] = 50;  // up to 100 us
    h.counts[4] = 49;  // up to 2.5 ms
    h.counts[16] = 1;  // over 10 s
    EXPECT_EQ(h.count(), 100u);
    EXPECT_EQ(h.quantile(0.5).count(), 100);
    EXPECT_EQ(h.quantile(0.51).count(), 2500);
    EXPECT_EQ(h.quantile(0.99).count(), 2500);
    EXPECT_EQ(h.quantile(1.0).count(), 20'000'000);
}

}  // namespace
}  // namespace tyx
