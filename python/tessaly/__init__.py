"""Tools around the tessaly grid simulator: importing standard case files
into its input format (``python3 -m tessaly import``)."""
