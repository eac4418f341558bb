# Where scripts/qt-windows.sh keeps the static Qt for Windows: a cache outside
# the clone, named after the Qt version and a digest of the build options.
file(READ ${CMAKE_CURRENT_LIST_DIR}/qt-windows.options _zv_qt_options)
string(SHA256 _zv_qt_key "${_zv_qt_options}")
string(SUBSTRING ${_zv_qt_key} 0 12 _zv_qt_key)
if(DEFINED ENV{ZV_CACHE_DIR})
  set(_zv_cache $ENV{ZV_CACHE_DIR})
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(_zv_cache $ENV{XDG_CACHE_HOME}/zentravolk)
else()
  set(_zv_cache $ENV{HOME}/.cache/zentravolk)
endif()
set(ZV_QT_WINDOWS_PREFIX ${_zv_cache}/qt-6.4.2-windows-${_zv_qt_key})
