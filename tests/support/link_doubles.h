// Stand-ins for links this Wine cannot create: the native calls pass
// through to the real ones, and only the attributes they report for chosen
// names or objects gain FILE_ATTRIBUTE_REPARSE_POINT, exactly as Windows
// reports a junction or symbolic link.
#pragma once

#include "files/file_handles.h"

#include <string>

namespace quilmo {
namespace testing_support {

// While alive, directory listings report every entry named name as a link.
class ListingShowsLink {
public:
    explicit ListingShowsLink(const std::wstring& name);
    ~ListingShowsLink();

private:
    NtFileApi api_;
    ScopedNtFileApi scope_;
};

// While alive, GetFileInformationByHandle reports the object with this
// identity as a link.
class HandleShowsLink {
public:
    explicit HandleShowsLink(const FileIdentity& identity);
    ~HandleShowsLink();

private:
    FileSystemCalls calls_;
    ScopedFileSystemCalls scope_;
};

// While alive, the final path of the object with this identity is target,
// as for a junction that leads there.
class FinalPathLeadsTo {
public:
    FinalPathLeadsTo(const FileIdentity& identity, const std::wstring& target);
    ~FinalPathLeadsTo();

private:
    FileSystemCalls calls_;
    ScopedFileSystemCalls scope_;
};

// While alive, QueryDosDeviceW reports every drive as substituted.
class DrivesLookSubstituted {
public:
    DrivesLookSubstituted();
    int queries() const;

private:
    FileSystemCalls calls_;
    ScopedFileSystemCalls scope_;
};

// The identity of the object at path, read through a plain open.
FileIdentity IdentityOf(const std::wstring& path);

}  // namespace testing_support
}  // namespace quilmo
