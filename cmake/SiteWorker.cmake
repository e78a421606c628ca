# Writes the site's service worker from its template: one cache per build,
# named from the version and a hash of every file it caches, with each
# file's SHA-256 so that the worker can refuse a mix of two builds.
# FILES names the site's files (in SITE_DIR, the worker aside): the worker
# caches exactly these, and any other file in SITE_DIR is removed.
#
#   cmake -DSITE_DIR=DIR "-DFILES=a.html;b.js" -DTEMPLATE=web/sw.js -DVERSION=X.Y -P SiteWorker.cmake
#
# The worker is written to SITE_DIR/sw.js; the same files give the same
# bytes, so browsers keep an unchanged build's worker and cache.
cmake_minimum_required(VERSION 3.25)
foreach(required SITE_DIR FILES TEMPLATE VERSION)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "SiteWorker.cmake needs -D${required}=...")
  endif()
endforeach()

set(worker_name sw.js)
set(hash_digits 16)

set(files ${FILES})
list(SORT files)
if(NOT files OR ${worker_name} IN_LIST files)
  message(FATAL_ERROR "FILES must name the site's files, the worker aside: ${FILES}")
endif()

file(GLOB present LIST_DIRECTORIES false RELATIVE ${SITE_DIR} ${SITE_DIR}/*)
foreach(name ${present})
  if(NOT name IN_LIST files AND NOT name STREQUAL worker_name)
    file(REMOVE ${SITE_DIR}/${name})
  endif()
endforeach()

# The template takes part in the hash: a changed worker never shares a cache
# name with the one it replaces.
file(SHA256 ${TEMPLATE} build_record)
set(entries "")
foreach(name ${files})
  file(SHA256 ${SITE_DIR}/${name} digest)
  string(APPEND build_record "\n${name} ${digest}")
  string(APPEND entries "\n  '${name}': '${digest}',")
endforeach()
string(SHA256 build_hash "${build_record}")
string(SUBSTRING ${build_hash} 0 ${hash_digits} build_hash)

file(READ ${TEMPLATE} worker)
string(REPLACE "'@PELAGO_SITE_CACHE@'" "'pelagoxcon-${VERSION}-${build_hash}'" worker "${worker}")
string(REPLACE "{/*@PELAGO_SITE_FILES@*/}" "{${entries}\n}" worker "${worker}")
file(WRITE ${SITE_DIR}/${worker_name} "${worker}")
