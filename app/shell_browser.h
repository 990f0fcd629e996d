// shell_browser.h: TShellBrowser, a file browser the user drags files and
// folders from onto the file list (left half of the main window), and the
// second view of the "Poste de Travail" tab.
//
// One folder at a time, or the computer's mounted volumes ("Poste de
// travail", from QStorageInfo). Above the view: the folder box (the volumes,
// then the current folder and each folder above it) and the view buttons
// "Retour à l'origine" (the volumes), "Aperçu normal (liste par icones
// rangés)" (large icons), "Aperçu sous forme de vignettes (utile pour les
// images)" (thumbnails: image previews made on worker threads for the
// items on screen only, so a folder of photos never holds the window),
// "Aperçu sous forme de liste" (list) and "Aperçu du détail des médias,
// disques, dossiers et fichiers" (details: name, size, type, date). A folder
// is listed with its parent's ".." entry; a double click opens a folder or
// volume, or a file with its default application.
//
// The file source (kFileSource) starts in list view on the home folder, has
// the filter box below it and starts drags of the selected paths
// (text/uri-list, copy only). Its filter box offers the 22 kinds of
// kFilterKinds; choosing one puts its mask in the box, exactly as stored, and
// shows only matching files: the mask is split at ";", each part matched
// case-insensitively with its surrounding blanks ignored (a file name cannot
// end in a blank on the system the masks were written for). A mask other
// than "*.*" also hides folders and tints the view pale yellow. The
// computer view (kComputer) starts on the volumes in large icons, for
// browsing only.
//
// Right click: the desktop's menu ("Ouvrir", "Ouvrir le dossier contenant",
// "Propriétés") while DesktopMenu() is on, else the program's own ("Info! ",
// "Tout sélectionner"). The main window's "Explorateur" menu calls the
// public functions below and shows their states as check marks.
//
// Thread safety: GUI thread only (thumbnails are decoded on the browser's own
// worker threads, which never touch a widget).
#pragma once

#include <QModelIndex>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <memory>

class QAbstractItemView;
class QComboBox;
class QFileIconProvider;
class QFileSystemModel;
class QListView;
class QMenu;
class QStackedWidget;
class QStandardItemModel;
class QToolButton;
class QTreeView;

namespace zamo {

class TThumbnailLoader;
class TThumbnailDelegate;

// A kind of the filter box: its description and its mask, as stored.
struct TFilterKind {
  const char* Description;
  const char* Mask;
};
extern const std::array<TFilterKind, 22> kFilterKinds;

// The name patterns of a mask: its ";"-separated parts without their
// surrounding blanks, empty parts left out. "*.*" (or nothing) is no filter.
QStringList MaskPatterns(const QString& mask);
bool MaskShowsEverything(const QString& mask);

class TShellBrowser : public QWidget {
  Q_OBJECT

 public:
  enum class TRole { kFileSource, kComputer };
  enum class TView { kList, kLargeIcons, kThumbnails, kDetails };

  explicit TShellBrowser(TRole role, QWidget* parent = nullptr);
  ~TShellBrowser() override;

  // ---- What the "Explorateur" menu calls ----------------------------------
  void ShowDrives();     // "Disques": the mounted volumes
  void ShowDesktop();    // "Bureau": the XDG desktop folder (home without one)
  void ShowDocuments();  // "Mes Documents": the XDG documents folder (home without one)
  void ChooseFolder();   // "&Choisir...": a folder chooser; the chosen folder is shown
  void SetAutoRefresh(bool on);  // "&Actualiser automatique" (on at start)
  bool AutoRefresh() const { return auto_refresh_; }
  void SetDesktopMenu(bool on);  // "Menu Contextuel Windows" (on at start)
  bool DesktopMenu() const { return desktop_menu_; }
  void SetShowHidden(bool on);   // "Montrer les Fichiers cachés" (off at start)
  bool ShowHidden() const { return show_hidden_; }
  void RefreshAll();             // "Tout actualiser": the folder read again

  // ---- Browsing ----------------------------------------------------------
  // Shows a folder (false when it is not one: nothing changes).
  bool ShowFolder(const QString& path);
  // The folder shown; empty while the volumes are.
  QString CurrentFolder() const { return folder_; }
  bool ShowingDrives() const { return folder_.isEmpty(); }
  void SetView(TView view);
  TView View() const { return view_; }
  // The filter box's mask (file source only); applies it.
  void SetFilterMask(const QString& mask);
  QString FilterMask() const { return mask_; }
  // The paths of the selected items.
  QStringList SelectedPaths() const;
  // Thumbnails made since the browser was created (they are made for the
  // items on screen only).
  int ThumbnailsMade() const;

  // The widgets, for the main window (hints, disabling the folder box
  // during jobs).
  QComboBox* FolderBox() const { return folder_box_; }
  QComboBox* FilterBox() const { return filter_box_; }  // null for kComputer
  QAbstractItemView* CurrentView() const;
  // Both views (list and details).
  std::array<QAbstractItemView*, 2> Views() const;

 signals:
  // A text for the status bar: "N item(s) sélectionnés.".
  void statusMessage(const QString& text);
  // The folder shown changed (empty: the volumes).
  void folderChanged(const QString& folder);

 private:
  void BuildButtons(QWidget* bar);
  void BuildViews();
  void BuildFilterBox();
  void FillDrives();
  void FillFolderBox();
  void ApplyFilter();
  void ApplyModel();
  // Drags start from the file source's files and folders only.
  void UpdateDrag();
  void MakeFileModel();
  void Activate(const QModelIndex& index);
  QString PathOf(const QModelIndex& index) const;
  void SelectionChanged();
  void ShowContextMenu(const QPoint& global);
  void ShowProperties(const QString& path);
  void Tint(bool filtered);

  TRole role_;
  TView view_;
  QString folder_;  // empty: the volumes
  QString mask_ = QStringLiteral("*.*");
  bool auto_refresh_ = true;
  bool desktop_menu_ = true;
  bool show_hidden_ = false;
  std::unique_ptr<QFileIconProvider> icons_;  // outlives the models (see the destructor)

  QComboBox* folder_box_ = nullptr;
  QComboBox* filter_box_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QListView* list_view_ = nullptr;
  QTreeView* tree_view_ = nullptr;
  QFileSystemModel* files_ = nullptr;
  QStandardItemModel* drives_ = nullptr;
  std::unique_ptr<TThumbnailLoader> thumbnails_;
  TThumbnailDelegate* thumbnail_delegate_ = nullptr;
};

}  // namespace zamo
