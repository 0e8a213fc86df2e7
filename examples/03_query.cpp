// Runs an SQL query on every database shard and prints the merged result as a text table.
// Needs a running platform or `tyx sandbox` (ports from TYX_DB_PORT etc., see example_support.hpp).
#include <iostream>

#include "example_support.hpp"

int main() {
    tyx::Client client;
    client.add_cluster(example_cluster(), true);
    //! [query]
    auto result = client.sql("demo", "SELECT 1 AS one, 'two' AS two, 3.5 AS three");
    result->print(std::cout);
    // The reading loop: advance, then read row cursor_position() of each column.
    while (result->cursor_advance()) {
        const auto row = static_cast<std::size_t>(result->cursor_position());
        std::cout << "two = " << std::get<std::vector<std::string>>(result->columns()[1])[row] << "\n";
    }
    //! [query]
    return result->has_result_set() ? 0 : 1;
}
