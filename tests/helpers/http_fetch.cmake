# Wide arguments keep a UTF-8 URL intact; bcrypt hashes the body.
target_link_options(${helper} PRIVATE -municode)
target_link_libraries(${helper} PRIVATE bcrypt)
