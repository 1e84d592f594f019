"""The fuzz targets' seed corpus is written by make_seeds."""
