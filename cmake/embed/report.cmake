# The HTML report page; its "__REPORT_DATA__" is replaced by the report's data.
quillimare_embed(report_page ${CMAKE_SOURCE_DIR}/src/adapter/all/summary/report.html)
