"""Standard test grids in the MATPOWER format: the IEEE 9, 14, 30 and 118-bus cases
(``tessaly.Grid.from_case("case118")``)."""
