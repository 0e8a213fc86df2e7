// Builds a table column by column, uploads it with sql_replace and reads it back with SQL.
// Needs a running platform or `tyx sandbox` (ports from TYX_DB_PORT etc., see example_support.hpp).
#include <iostream>

#include "example_support.hpp"

int main() {
    tyx::Client client;
    client.add_cluster(example_cluster(), true);
    //! [upload]
    tyx::Table prices("prices");
    prices.add_column("sym", std::vector<std::string>{"AAA", "BBB", "CCC"})
        .add_column("px", std::vector<double>{10.5, 20.25, 30.125})
        .add_column("lots", std::vector<std::int64_t>{1, 2, 3});
    client.sql_replace("demo", std::move(prices), "");
    //! [upload]
    auto back = client.sql("demo", "SELECT sym, px, lots FROM prices ORDER BY sym");
    back->print(std::cout);
    return back->row_count() == 3 ? 0 : 1;
}
