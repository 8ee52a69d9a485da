# Debian packaging targets, included by the root Makefile.
#   make package       Release build in build-pkg/, then cpack: build-pkg/pelorin_*.deb
#   make package-test  the above, then packaging/test-package.sh on the .deb files
# Compiler and linker flags come from dpkg-buildflags (Debian's hardening flags).
# _FORTIFY_SOURCE marks more functions warn_unused_result than a plain build
# does, and a (void) cast does not quiet GCC; those warnings stay warnings.
# Optimisation is Debian's -O2 (from dpkg-buildflags): at -O3 GCC 12 reports
# false -Wrestrict errors inside std::string.

PKG_BUILD ?= build-pkg
PKG_JOBS  ?= $(or $(JOBS),$(shell nproc))
PKG_FLAGS  = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get

.PHONY: package package-test

package:
	@scripts/install-deps.sh build package
	@cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
	  -DCMAKE_CXX_FLAGS="$$($(PKG_FLAGS) CPPFLAGS) $$($(PKG_FLAGS) CXXFLAGS) -Wno-error=unused-result" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(PKG_FLAGS) LDFLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$$($(PKG_FLAGS) LDFLAGS)" \
	  -DCMAKE_MODULE_LINKER_FLAGS="$$($(PKG_FLAGS) LDFLAGS)" >/dev/null
	@cmake --build $(PKG_BUILD) -j $(PKG_JOBS)
	@rm -f $(PKG_BUILD)/*.deb
	@cd $(PKG_BUILD) && cpack -G DEB >/dev/null
	@ls -1 $(PKG_BUILD)/*.deb

package-test: package
	@packaging/test-package.sh $(PKG_BUILD)
