// Tells emcc that the module imports tzf_web_progress from the page (the
// page's loader, web/tzf-core.js, supplies it; this body is never used).
mergeInto(LibraryManager.library, {
  tzf_web_progress: function () {
    return 0;
  },
});
