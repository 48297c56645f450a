"""The unit tests of the analysis: the statistics with known answers, the
reader on valid and invalid files, the tables in each format, and the
reports on small files. `python3 -m analyze.tests` runs them from the
source root."""
