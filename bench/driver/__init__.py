# The benchmark driver's modules: servers, load runs, targets and the report.
