// tyx publish: objects from the command line or JSON lines to the relay, or their removal.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "connection.hpp"
#include "field_values.hpp"
#include "progress.hpp"
#include "publish_input.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

namespace {

struct PublishOptions {
    ConnectFlags connect;
    std::string type;
    std::string id;
    std::vector<std::string> fields;
    std::string input;
    std::string default_type;
    bool remove = false;
    double flush_timeout_s = -1;  // negative: --connect-timeout
};

// Publications not yet written that the command lets pile up before it waits for the relay.
constexpr std::uint64_t kWindow = 65536;

class Publisher {
public:
    Publisher(Connection& connection, std::chrono::milliseconds stall,
              std::chrono::milliseconds flush_timeout)
        : connection_(connection),
          stall_(stall),
          flush_timeout_(flush_timeout),
          start_(std::chrono::steady_clock::now()) {}

    void send(const PublishItem& item) {
        auto& client = connection_.client();
        if (item.remove)
            client.remove_object(connection_.cluster(), item.id, item.type, item.seqnum);
        else
            client.publish_object(connection_.cluster(), item.type, item.id, item.field_names,
                                  item.field_values, item.seqnum, item.expires_on_ms);
        ++published_;
        if (item.remove) ++removed_;
        if (published_ > kWindow &&
            published_ - connection_.publications_sent() - connection_.publications_refused() > kWindow)
            wait_for(published_ - kWindow / 2);
        progress_.update([&] {
            return "published " + std::to_string(published_) + " (" +
                   rate_text(published_, std::chrono::steady_clock::now() - start_) + ")";
        });
    }

    void finish() {
        // Written is not received: the success line below means the relay's host has them all.
        // A relay that refuses every connection after taking the login may never let a message
        // be written at all, so the flush comes first and says why.
        progress_.update([&] { return "waiting for the relay to receive " + std::to_string(published_); });
        connection_.flush_relay(published_ - std::min(published_, connection_.publications_refused()),
                                flush_timeout_);
        // Every on_message_sent and refusal is then on its way to the listener.
        wait_for(published_);
        progress_.clear();
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        const std::uint64_t refused = connection_.publications_refused();
        const auto objects = published_ - removed_ - std::min(refused, published_ - removed_);
        auto count = [](std::uint64_t n, const char* noun) {
            return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
        };
        std::string what;
        if (objects > 0 || removed_ == 0) what = count(objects, "object");
        if (removed_ > 0) what += (what.empty() ? "" : " and ") + count(removed_, "removal");
        std::printf("sent %s in %.3f s (%s)\n", what.c_str(), std::chrono::duration<double>(elapsed).count(),
                    rate_text(published_ - refused, elapsed).c_str());
        std::fflush(stdout);
        if (refused > 0)
            throw ToolError(count(refused, "publication") +
                            " refused, the first: " + connection_.first_refusal());
    }

    std::uint64_t published() const { return published_; }

private:
    void wait_for(std::uint64_t n) {
        if (connection_.wait_for_sent(n, stall_)) return;
        throw ToolError("the relay server at " + connection_.settings().endpoint(ServerKind::relay) +
                        " took no message for " + seconds_text(stall_) + "; " +
                        std::to_string(connection_.publications_sent()) + " of " +
                        std::to_string(published_) + " were written");
    }

    Connection& connection_;
    std::chrono::milliseconds stall_;
    std::chrono::milliseconds flush_timeout_;
    std::chrono::steady_clock::time_point start_;
    std::uint64_t published_ = 0;
    std::uint64_t removed_ = 0;
    Progress progress_;
};

int run_publish(const PublishOptions& options) {
    PublishItem single;
    const bool from_arguments = !options.type.empty();
    if (from_arguments) {
        if (options.id.empty()) throw ToolError("publish TYPE ID [FIELD...]: the object id is missing");
        if (!options.input.empty())
            throw ToolError("give either an object on the command line or --input, not both");
        if (options.remove && !options.fields.empty()) throw ToolError("--remove takes no fields");
        single.type = options.type;
        single.id = options.id;
        single.remove = options.remove;
        for (const auto& argument : options.fields) {
            auto [name, value] = parse_field_argument(argument);
            single.field_names.push_back(std::move(name));
            single.field_values.push_back(std::move(value));
        }
    }

    // Opened before connecting, so that a missing file is reported as such.
    std::ifstream file;
    std::istream* in = &std::cin;
    if (!from_arguments && !options.input.empty() && options.input != "-") {
        file.open(options.input);
        if (!file) throw ToolError("cannot read " + options.input);
        in = &file;
    } else if (!from_arguments && isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "reading JSON lines from standard input; Ctrl-D ends them\n");
    }

    Connection connection(options.connect.settings(), {ServerKind::relay}, options.connect.verbose(),
                          options.connect.stats());
    connection.wait_ready(options.connect.connect_timeout());
    const auto flush_timeout = options.flush_timeout_s < 0
                                   ? options.connect.connect_timeout()
                                   : std::chrono::milliseconds(static_cast<std::int64_t>(
                                         std::llround(options.flush_timeout_s * 1000.0)));
    Publisher publisher(connection, options.connect.connect_timeout(), flush_timeout);
    if (from_arguments) {
        publisher.send(single);
    } else {
        std::string line;
        std::size_t line_number = 0;
        PublishItem item;
        while (std::getline(*in, line)) {
            ++line_number;
            try {
                if (!parse_publish_line(line, options.default_type, options.remove, item)) continue;
            } catch (const ToolError& e) {
                // What was read so far is still sent, so that the count reported is what the relay got.
                publisher.finish();
                const std::uint64_t before = publisher.published();
                throw ToolError("line " + std::to_string(line_number) + ": " + e.what() +
                                "; stopped there, after sending the " + std::to_string(before) +
                                (before == 1 ? " publication" : " publications") + " before it");
            }
            publisher.send(item);
        }
    }
    publisher.finish();
    return 0;
}

}  // namespace

void add_publish_command(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<PublishOptions>();
    auto* command = app.add_subcommand("publish",
                                       "Publish objects to the relay: TYPE ID [NAME=VALUE | NAME:TYPE=VALUE "
                                       "...], or JSON lines from --input "
                                       "or standard input");
    command->add_option("type", options->type, "Object type (the table)");
    command->add_option("id", options->id, "Object id");
    command->add_option(
        "fields", options->fields,
        "Fields NAME=VALUE (whole numbers are i32/i64, decimals f64, anything else str) or "
        "NAME:TYPE=VALUE with TYPE one of char u8 i8 u16 i16 u32 i32 u64 i64 f32 f64 str bytes null");
    command->add_option(
        "-i,--input", options->input,
        "File of JSON lines {\"type\":..., \"id\":..., \"fields\":{...}} ('-': standard input). Field "
        "values: integers (i32, else i64, else u64), other numbers (f64), strings, true/false (u8 1/0), null "
        "(empty), or {\"type\": TYPE, \"value\": V}. A line that cannot be read ends the run, saying how "
        "many publications before it were sent");
    command->add_option("-t,--type", options->default_type, "Object type for JSON lines that have none");
    command->add_flag("--remove", options->remove, "Remove the objects instead of publishing them");
    command
        ->add_option("--flush-timeout", options->flush_timeout_s,
                     "Seconds to wait at the end until the relay's host has received every publication "
                     "(default: --connect-timeout); exit status 1 names what it has not")
        ->check(CLI::NonNegativeNumber);
    options->connect.add_to(*command);
    command->callback([options, &exit_code] { exit_code = run_publish(*options); });
}

}  // namespace tyx::tool
