// TaskView.h - the main window's client area: the task list on the left
// ("任务列表", hideable) and the selected task's window on the right. Up to
// 16 task windows, each in a slot whose control id is 1001 + slot.
#pragma once

#include <QIcon>
#include <QWidget>

#include <array>
#include <memory>
#include <string>

class QLabel;
class QSplitter;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace quarvex {

class CAppContext;
class CTaskLeases;
class CTaskWnd;

class CTaskView : public QWidget {
    Q_OBJECT
public:
    static constexpr int MAX_TASKS = 16;
    static constexpr int LEFT_WIDTH = 240;
    static constexpr int CAPTION_HEIGHT = 23;

    CTaskView(CAppContext& context, QWidget* pParent = nullptr);
    ~CTaskView() override;

    // Loads the account's tasks and the chosen examples from the store.
    void LoadTasks();
    // Adds a task in the first free slot; its slot, or -1 when every slot
    // is taken or the definition does not load.
    int InsertTask(const std::string& strText, const std::string& strId);
    // Takes the task out; its window goes once its worker has ended.
    void RemoveTask(int nSlot);
    // The slot of the selected task, or -1.
    int SelectedSlot() const;
    void SelectSlot(int nSlot);
    CTaskWnd* GetTaskWnd(int nSlot) const;
    // The leases of the account's tasks; made at the first task loaded.
    CTaskLeases* GetLeases() const { return m_pLeases.get(); }
    CTaskWnd* GetSelectedTask() const;
    int GetSlotsUsed() const { return m_nSlotsUsed; }
    bool HasFreeSlot() const;
    int GetTaskCount() const;

    bool AnyTaskRunning() const;
    void StopAllTasks();

    // The commands; each shows its own messages.
    void NewTask();
    void TaskProperties();
    void DeleteTask();
    void StartTask();
    void StopTask();
    void RunTaskNow();
    void ToggleTaskList();
    bool IsTaskListVisible() const;

    QTreeWidget* GetTree() const { return m_pTree; }
    QWidget* GetLeftPane() const { return m_pLeftPane; }

signals:
    // The selection, or the state of some task, changed.
    void StateChanged();

private:
    void OnSelectionChanged();
    void UpdateItem(int nSlot);
    QTreeWidgetItem* FindItem(int nSlot) const;
    void ReapRemoved();

    CAppContext& m_context;
    QSplitter* m_pSplitter;
    QWidget* m_pLeftPane;
    QTreeWidget* m_pTree;
    QLabel* m_pRightCaption;
    QStackedWidget* m_pStack;
    std::array<CTaskWnd*, MAX_TASKS> m_apSlots{};
    int m_nSlotsUsed = 0;
    std::vector<CTaskWnd*> m_apRemoved;  // Stopping; deleted once their worker ended.
    QIcon m_iconStopped, m_iconRunning, m_iconFailed, m_iconElsewhere;
    std::unique_ptr<CTaskLeases> m_pLeases;
};

} // namespace quarvex
